#include "textio/signals.hpp"

namespace textio {

namespace {

constexpr int stop_signals[3] = {SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t received = 0;  // the first stop signal, 0 before any

extern "C" void note_stop(int sig) {
    if (received == 0) received = sig;
}

}  // namespace

StopSignals::StopSignals() {
    received = 0;
    struct sigaction act {};
    act.sa_handler = note_stop;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    for (int k = 0; k < 3; ++k) {
        if (sigaction(stop_signals[k], nullptr, &old_[k]) != 0 || old_[k].sa_handler == SIG_IGN) continue;
        caught_[k] = sigaction(stop_signals[k], &act, nullptr) == 0;
    }
}

StopSignals::~StopSignals() {
    for (int k = 0; k < 3; ++k)
        if (caught_[k]) sigaction(stop_signals[k], &old_[k], nullptr);
}

int stop_signal() { return received; }

std::string signal_name(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(sig);
    }
}

}  // namespace textio
