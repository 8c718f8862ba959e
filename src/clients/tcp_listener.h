// SPDX-License-Identifier: BSD-2-Clause
// Accepts TCP clients and gives each a pipe, a registry slot and a thread.
#pragma once

// Thread entry. Returns only when the port cannot be listened on.
void *listener_thread(void *);
