// bench_time.cpp - runs one command and prints how long it took.
//
//   bench_time [-o FILE] [-C DIR] -- COMMAND [ARGS...]
//
// Prints one line on standard output:
//   wall=SECONDS user=SECONDS sys=SECONDS cpu=SECONDS maxrss_kb=KB status=N
// wall is measured with the steady (monotonic) clock from just before fork
// to the child's end; user, sys and maxrss come from wait4 (the child and the
// threads it ran).  -o sends the command's standard output to FILE (truncated); -C runs
// it in folder DIR.  The exit status of bench_time is the command's (128+N
// when it died of signal N, 127 when it could not be started).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int Usage() {
    std::fprintf(stderr, "usage: bench_time [-o FILE] [-C DIR] -- COMMAND [ARGS...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* output = nullptr;
    const char* folder = nullptr;
    int i = 1;
    for (; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            output = argv[++i];
        } else if (std::strcmp(argv[i], "-C") == 0 && i + 1 < argc) {
            folder = argv[++i];
        } else {
            return Usage();
        }
    }
    if (i >= argc) return Usage();
    char** command = argv + i;

    std::fflush(stdout);
    const double start = Now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_time: fork");
        return 127;
    }
    if (pid == 0) {
        if (output != nullptr) {
            const int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
                std::perror("bench_time: output");
                _exit(127);
            }
            close(fd);
        }
        if (folder != nullptr && chdir(folder) != 0) {
            std::perror("bench_time: folder");
            _exit(127);
        }
        execvp(command[0], command);
        std::fprintf(stderr, "bench_time: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("bench_time: wait4");
            return 127;
        }
    }
    const double wall = Now() - start;
    const int code = WIFEXITED(status)     ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : 127;
    const double user = Seconds(usage.ru_utime), sys = Seconds(usage.ru_stime);
    std::printf("wall=%.4f user=%.4f sys=%.4f cpu=%.4f maxrss_kb=%ld status=%d\n", wall, user, sys,
                user + sys, usage.ru_maxrss, code);
    return code;
}
