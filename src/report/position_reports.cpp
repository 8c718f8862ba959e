#include "report/position_reports.h"

#include <cstdio>

#include "app/settings.h"

void update_position_reports(const char *text)
{
    if (!settings.daemon_mode)
        printf("%s", text); // the text carries its own line end
}
