#include "ForkedChild.h"

#include <sys/wait.h>
#include <unistd.h>

int runInForkedChild(const std::function<void()>& body, unsigned guardSeconds) {
    pid_t child = fork();
    if (child == 0) {
        alarm(guardSeconds);
        body();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return -1;
    }
    return status;
}
