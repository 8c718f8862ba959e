// SPDX-License-Identifier: BSD-2-Clause
#include "model/line_rules_model.h"

namespace {

const size_t most = 8191; // bytes joined, and the longest text

// After any TAG blocks (backslash to backslash), from $ or ! to * and two
// hex digits that match the checksum.
bool whole_sentence_of(std::string t)
{
    while (!t.empty() && t[0] == '\\') {
        size_t close = t.find('\\', 1);
        if (close == std::string::npos || t.find_first_of(std::string("\r\n\0", 3)) < close)
            return false;
        t.erase(0, close + 1);
    }
    if (t.size() < 4 || (t[0] != '$' && t[0] != '!') || t[t.size() - 3] != '*')
        return false;
    const std::string digits = "0123456789ABCDEF";
    std::string hex = t.substr(t.size() - 2);
    for (char &c : hex)
        c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 32 : c);
    if (digits.find(hex[0]) == std::string::npos || digits.find(hex[1]) == std::string::npos)
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i + 3 < t.size(); i++) {
        if (t[i] == '\r' || t[i] == '\n' || t[i] == '\0')
            return false;
        sum ^= static_cast<unsigned char>(t[i]);
    }
    return sum == digits.find(hex[0]) * 16 + digits.find(hex[1]);
}

// In the run of line ends that closes the unit, the last CR becomes the LF
// and the text ends there; under 6 characters nothing is relayed.
void relay(line_rules_model &m, std::string t)
{
    size_t run = t.find_last_not_of("\r\n") + 1; // npos + 1 is 0
    size_t cr = t.rfind('\r');
    if (cr != std::string::npos && cr >= run)
        t = t.substr(0, cr) + "\n";
    if (t.size() >= 6)
        m.relayed.push_back(t);
}

void lose_line(line_rules_model &m)
{
    m.drops++;
    m.head.clear();
    m.rest_lost = true;
}

} // namespace

void model_take(line_rules_model &m, std::string piece, bool cut)
{
    // 1. A line end owed by the last piece: an LF after a CR; a CR LF, CR
    // or LF after a whole sentence relayed without its own.
    bool cr_owed = m.ended_cr, own_owed = m.ended_own;
    m.ended_cr = m.ended_own = false;
    if (!piece.empty() && ((cr_owed && piece[0] == '\n') || (own_owed && (piece[0] == '\r' || piece[0] == '\n')))) {
        size_t owed = piece.compare(0, 2, "\r\n") == 0 ? 2 : 1;
        m.ended_cr = piece == "\r" && !cut;
        piece.erase(0, owed);
        if (piece.empty() && !cut)
            return;
    }
    // The serial read that fills the terminal's 4096-byte line is torn.
    if (!m.joins && piece.size() >= 4096) {
        m.drops++;
        m.rest_lost = piece.back() != '\n' && piece.back() != '\r';
        return;
    }
    // 2. Empty, or a failed receive.
    if (piece.empty() && !cut) {
        if (!m.head.empty())
            lose_line(m);
        return;
    }
    // 3. A new sentence; 4. else the rest of a dropped line.
    if (!piece.empty() && (piece[0] == '$' || piece[0] == '!' || piece[0] == '\\')) {
        if (!m.head.empty())
            m.drops++;
        m.head.clear();
        m.rest_lost = false;
    } else if (m.rest_lost) {
        m.drops++;
        size_t end = piece.find_first_of("\r\n");
        if (end == std::string::npos)
            return;
        end += piece[end] == '\r' && end + 1 < piece.size() && piece[end + 1] == '\n' ? 2 : 1;
        m.rest_lost = false;
        bool cr = piece[end - 1] == '\r';
        piece.erase(0, end);
        if (piece.empty()) {
            if (cut)
                lose_line(m);
            else
                m.ended_cr = cr;
            return;
        }
    }
    // 5. Joined, up to 8191 bytes.
    std::string text = m.head + piece;
    m.head.clear();
    if (text.size() > most) {
        text.resize(most);
        cut = true;
    }
    size_t last = text.find_last_of("\r\n");
    size_t unit_end = last == std::string::npos ? 0 : last + 1;
    const std::string unit = text.substr(0, unit_end), after = text.substr(unit_end);
    // 6. Lines torn by a NUL go; lines of NULs alone are padding.
    std::string kept;
    for (size_t at = 0; at < unit.size();) {
        size_t content_end = unit.find_first_of("\r\n", at);
        size_t line_end = unit.find_first_not_of("\r\n", content_end);
        if (line_end == std::string::npos)
            line_end = unit.size();
        const std::string content = unit.substr(at, content_end - at);
        if (content.find('\0') == std::string::npos)
            kept += unit.substr(at, line_end - at);
        else if (content.find_first_not_of('\0') != std::string::npos)
            m.drops++;
        at = line_end;
    }
    // 7. What follows the last line end.
    std::string own;
    if (cut) {
        lose_line(m);
    } else if (!after.empty()) {
        size_t last_text = after.find_last_not_of('\0');
        const std::string trimmed = last_text == std::string::npos ? "" : after.substr(0, last_text + 1);
        if (trimmed.empty())
            ; // padding
        else if (trimmed.size() < most && whole_sentence_of(trimmed)) {
            own = trimmed + "\n";
            m.ended_own = true;
        }
        else if (after.find('\0') != std::string::npos || after.size() >= most || !m.joins)
            lose_line(m);
        else
            m.head = after;
    }
    if (!unit.empty())
        m.ended_cr = !cut && after.empty() && unit.back() == '\r';
    if (!kept.empty())
        relay(m, kept);
    if (!own.empty())
        relay(m, own);
}
