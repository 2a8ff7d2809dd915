// A sign of life on a terminal: one status line on standard error, rewritten in place, while a
// large database loads and while a network trains.  When standard error is not a terminal
// (a log file, a pipe, a workflow engine) nothing is ever written, so those outputs stay as
// they were.
//
// The line is rewritten at most five times a second, so the cost per epoch is one clock read.
// It is erased (loading) or ended with a line end (training) when its work is done, and erased
// when the object goes away with the line still open (an error stop unwinding), so a message
// that follows starts on a line of its own.
#pragma once

#include <cstddef>
#include <string>

namespace nntrain {

class Progress {
public:
    ~Progress() { clear(); }

    // Switches the line on when standard error is a terminal (main does this once).
    void enable_on_terminal();
    // Switches it on or off whatever standard error is (tests).
    void set(bool on) { on_ = on; }
    bool on() const { return on_; }

    // done of total proteins loaded; shown only when loading lasts long enough to be seen.
    void loading(std::size_t done, std::size_t total);
    // After an epoch: epoch of at most max, the epoch's training and test errors, the kept
    // epoch and the epochs since it.  The first epoch is shown at once.
    void epoch(int epoch, int max, double etr, double ete, int kept, int since);
    // Ends the training line with a line end (the last epoch's figures stay on screen).
    void finish();
    // Erases the line, if one is shown.
    void clear();

private:
    void show(const std::string& text);
    bool on_ = false;
    bool shown_ = false;  // a line is on the screen, not yet ended
    double start_ = -1;   // when the current work began (seconds)
    double last_ = -1;    // when the line was last written
    int first_epoch_ = 0; // the first epoch counted in the rate
    std::string pending_; // the last line not yet shown (rate limit)
};

}  // namespace nntrain
