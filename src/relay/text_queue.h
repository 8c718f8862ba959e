// SPDX-License-Identifier: BSD-2-Clause
// Relayed texts waiting for the serial device. When the device cannot carry
// them all, a newer sentence takes the place of the older one of its type
// that still waits, so the device gets the newest of each type in turn
// rather than whichever came first. Pure: the caller holds the queue and
// its lock.
#pragma once

#include <cstddef>

#include "relay/text_normalise.h"

// The longest address taken as a sentence's: talker and formatter are five
// characters, a proprietary address a few more.
constexpr size_t sentence_address_max = 10;

// What a newer sentence must share with a waiting one to take its place.
struct sentence_type {
    char address[sentence_address_max + 2]; // '$' or '!' and the address, NUL-ended
    int part;                               // its part number, 0 when not in parts
};

// The type of `text` when it is one sentence: '$' or '!', an address of 1 to
// sentence_address_max capital letters and digits, then a comma, '*' or the
// line end, and no line end before its last byte. A sentence whose first two
// fields are a part count and a part number (one or two digits, 1 <= number
// <= count) is typed by its part number too, so parts never take each
// other's place. False for anything else, which is never replaced.
bool sentence_type_of(const char *text, size_t length, sentence_type *type);

// Each text waits as this header followed by its bytes.
struct queued_text {
    long long queued_ms; // when the relay offered it
    size_t length;
    sentence_type type; // address "" when not a sentence
};

// The queue takes one text of any length when empty, so that a long one can
// still go; beyond that, the backlog bounds it, and its size only texts far
// shorter than sentences.
constexpr size_t text_queue_capacity = sizeof(queued_text) + text_capacity + 16384;

struct text_queue {
    unsigned char bytes[text_queue_capacity]; // headers and texts, from the start
    size_t used;                              // bytes used in `bytes`
    size_t text_bytes;                        // of which text, not headers
};

// Queues `text` (1 to text_capacity - 1 bytes), offered at now_ms, while no
// more than `backlog` bytes of text wait (or the queue is otherwise empty).
// A sentence of a type that still waits takes that one's place: the older is
// dropped whole, whether or not the newer fits, and the other texts keep
// their order. Returns whether `text` was queued; *dropped counts the texts
// dropped whole, the older and the newer.
bool text_queue_offer(text_queue *queue, const char *text, size_t length, long long now_ms, size_t backlog,
                      int *dropped);

// Takes the first text into `text` (room for text_capacity): its length, and
// when it was offered in *queued_ms; 0 when none waits.
size_t text_queue_take(text_queue *queue, char *text, long long *queued_ms);
