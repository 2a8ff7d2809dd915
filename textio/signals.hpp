// Interruption by signal, for the long steps of a run (training).
//
// While a StopSignals object lives, SIGINT, SIGTERM and SIGHUP no longer end the process at
// once: the first one received is only noted, and the step asks stop_signal() at the points
// where it can stop cleanly (nntrain: after the current presentation) and then finishes its
// output files itself.  A signal that the process ignores (a run started under nohup, or in
// the background of a shell, which ignores SIGINT there) stays ignored.  When the object goes,
// the earlier handling is back.
//
// Temporary files are the other half: write_new_file and write_new_files (files.hpp) remove
// their temporary files, and the files of a set linked so far, on any signal that ends the
// process.
#pragma once

#include <csignal>
#include <string>

namespace textio {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction old_[3];
    bool caught_[3] = {false, false, false};
};

// 0, or the number of the first stop signal received while a StopSignals object lives.
int stop_signal();

// "SIGINT", "SIGTERM", "SIGHUP", else "signal N".
std::string signal_name(int sig);

}  // namespace textio
