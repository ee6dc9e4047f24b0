#include "base/Clock.h"

#include <ctime>

char szTime[9];

void RefreshTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(szTime, sizeof szTime, "%H:%M:%S", &local);
}

double ProcessSeconds() {
    return (double)clock() / 1000000.0;
}
