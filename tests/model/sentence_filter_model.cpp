// SPDX-License-Identifier: BSD-2-Clause
#include "model/sentence_filter_model.h"


namespace {

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> parts(1);
    for (char c : text)
        if (c == by)
            parts.emplace_back();
        else
            parts.back() += c;
    return parts;
}

bool line_end(char c)
{
    return c == '\r' || c == '\n';
}

// A sentence: $ or ! first, after a TAG block if any; "" for none.
std::string sentence_in(std::string content)
{
    if (!content.empty() && content[0] == '\\') {
        size_t close = content.find('\\', 1);
        if (close == std::string::npos)
            return "";
        content = content.substr(close + 1);
    }
    if (content.size() < 6 || (content[0] != '$' && content[0] != '!'))
        return "";
    return content;
}

bool timer_passes(filter_model::rule &r, long long now_us)
{
    if (r.passed && now_us - r.last_us < r.limit_us)
        return false;
    r.passed = true;
    r.last_us = now_us;
    return true;
}

bool digits(const std::string &t)
{
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
}

bool limit(filter_model::rule &r, const std::string &sentence, long long now_us)
{
    // A part: '!', then a part count and a part number of one or two digits each, then an id of one digit or
    // none (the field may end at the checksum).
    std::vector<std::string> field = split(sentence, ',');
    bool parted = !sentence.empty() && sentence[0] == '!' && field.size() >= 4 && digits(field[1]) &&
                  field[1].size() <= 2 && digits(field[2]) && field[2].size() <= 2;
    std::string id = parted ? field[3].substr(0, field[3].find('*')) : "";
    parted = parted && (id.empty() || (id.size() == 1 && digits(id)));
    int count = parted ? std::stoi(field[1]) : 0, number = parted ? std::stoi(field[2]) : 0;
    if (!parted || count < 2 || number < 1 || number > count)
        return timer_passes(r, now_us);
    filter_model::rule::message &message = r.messages[id];
    if (number == 1) {
        message = {count, 2, timer_passes(r, now_us)};
        return message.passing;
    }
    // A later part goes as its first went, if this rule judged that first
    // and every part between; else it is held back.
    if (message.count != count || message.next != number) {
        message.count = 0;
        return false;
    }
    message.next++;
    bool passing = message.passing;
    if (number == count)
        message.count = 0;
    return passing;
}

bool passes(filter_model &f, const std::string &content, const std::string &source, long long now_us)
{
    std::string sentence = sentence_in(content);
    for (auto &r : f.rules) {
        if (!r.source.empty() && r.source != source)
            continue;
        if (r.key != "all") {
            if (sentence.empty())
                continue;
            bool same = true;
            for (int i = 0; i < 5; i++)
                same = same && (r.key[i] == '*' || r.key[i] == sentence[1 + i]);
            if (!same)
                continue;
        }
        if (r.action == '+')
            return true;
        if (r.action == '-')
            return false;
        return limit(r, sentence, now_us);
    }
    return true;
}

} // namespace

bool model_parse(const std::string &text, filter_model *out)
{
    filter_model f;
    for (const std::string &rule_text : split(text, ':')) {
        // +, - or ~; then all or five characters, up to a % or a /.
        if (rule_text.empty() || std::string("+-~").find(rule_text[0]) == std::string::npos)
            return false;
        filter_model::rule r;
        r.action = rule_text[0];
        size_t cut = rule_text.find_first_of("%/", 1);
        r.key = rule_text.substr(1, cut == std::string::npos ? std::string::npos : cut - 1);
        if (r.key != "all" && r.key.size() != 5)
            return false;
        // Then %serial or %udp, and a limit's /seconds, in either order, each once at most.
        bool has_seconds = false;
        std::string seconds;
        while (cut != std::string::npos) {
            size_t next = rule_text.find_first_of("%/", cut + 1);
            std::string part = rule_text.substr(cut, next == std::string::npos ? std::string::npos : next - cut);
            if (part[0] == '%') {
                if (!r.source.empty() || (part != "%serial" && part != "%udp"))
                    return false;
                r.source = part.substr(1);
            } else {
                if (has_seconds)
                    return false;
                has_seconds = true;
                seconds = part.substr(1);
            }
            cut = next;
        }
        if (has_seconds != (r.action == '~'))
            return false; // seconds on an allow or deny, or a limit without them
        r.limit_us = 0;
        if (has_seconds) {
            // A whole number of up to nine digits, or a decimal.
            size_t point = seconds.find('.');
            std::string whole = seconds.substr(0, point);
            std::string fraction = point == std::string::npos ? "" : seconds.substr(point + 1);
            if ((!whole.empty() && !digits(whole)) || (!fraction.empty() && !digits(fraction)) ||
                whole.size() + fraction.size() == 0 || whole.size() > 9)
                return false;
            fraction = (fraction + "000000").substr(0, 6);
            r.limit_us = (whole.empty() ? 0 : std::stoll(whole)) * 1000000 + std::stoll(fraction);
        }
        f.rules.push_back(r);
    }
    if (f.rules.size() > 32)
        return false;
    *out = f;
    return true;
}

std::string model_filter(filter_model &m, const std::string &text, const std::string &source, long long now_us,
                         unsigned *held)
{
    std::string kept, last_content;
    bool last_passed = false;
    *held = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t content = at;
        while (content < text.size() && !line_end(text[content]))
            content++;
        size_t end = content;
        while (end < text.size() && line_end(text[end]))
            end++;
        last_passed = passes(m, text.substr(at, content - at), source, now_us);
        if (last_passed) {
            kept += text.substr(at, end - at);
            last_content = text.substr(at, content - at);
        } else {
            (*held)++;
        }
        at = end;
    }
    // The last line that passes, when a line after it did not, ends in one LF as every text does.
    if (!kept.empty() && !last_passed) {
        size_t ends = kept.find_last_not_of("\r\n");
        kept = kept.substr(0, ends == std::string::npos ? 0 : ends + 1) + "\n";
    }
    return kept;
}
