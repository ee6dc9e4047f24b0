#include "base/Signals.h"

#include <cstring>
#include <initializer_list>

volatile sig_atomic_t iInterrupt;

static void NoteInterrupt(int signal) {
    if (!iInterrupt) iInterrupt = signal;
}

void CatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction inherited;
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}
