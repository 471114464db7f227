// Gives the core a pseudo-terminal for its standard output when the
// development supervisor's own output is not a terminal (a pipe, a file): the
// core writes its log lines only to a terminal, and the relay passes them on,
// without colour codes, to the supervisor's standard output.
#pragma once

#include <string>

class TerminalRelay {
public:
    // Opens the pseudo-terminal; false (with the reason) when none can be had.
    bool Open(std::string& error);
    // In the child, before exec: standard output onto the terminal.
    void AttachChild() const;
    // In the parent, after fork: drops its copy of the terminal's far end.
    void AfterFork();
    int fd() const { return master_; }
    // Copies what is waiting; false once the core's side is closed.
    bool Forward();
    // Copies what is left after the core ended.
    void Drain();

private:
    void Emit(const char* data, size_t size);

    int master_ = -1;
    int slave_ = -1;
    int escape_ = 0; // state of a colour sequence cut between reads
};
