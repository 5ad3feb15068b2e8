#include "NamedChild.h"

#include <csignal>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

NamedChild::NamedChild(const std::string& name) {
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
}

NamedChild::~NamedChild() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

pid_t NamedChild::endedProcessID() {
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}
