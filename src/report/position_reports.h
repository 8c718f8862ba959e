// Position reporting: every relayed text passes through here.
#pragma once

// Echoes the text in the foreground and keeps the position reports current.
void update_position_reports(const char *text);
