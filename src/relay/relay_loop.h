// SPDX-License-Identifier: BSD-2-Clause
// The relay loop: owns both inputs and feeds every output.
#pragma once

// Thread entry; never returns.
void *relay_thread(void *);
