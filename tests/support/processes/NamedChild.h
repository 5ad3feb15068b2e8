// A forked child that renames itself and waits until it is killed at destruction.
#pragma once

#include <string>
#include <sys/types.h>

class NamedChild {
public:
    // The kernel keeps at most 15 bytes of the name.
    explicit NamedChild(const std::string& name);
    ~NamedChild();
    NamedChild(const NamedChild&) = delete;
    NamedChild& operator=(const NamedChild&) = delete;

    pid_t pid() const { return pid_; }

    // A process id that belonged to a child which has ended and been reaped.
    static pid_t endedProcessID();

private:
    pid_t pid_ = -1;
};
