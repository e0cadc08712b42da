// A stand-in for the tools the runner starts, driven by its arguments, handled in order:
//   args ...      prints every following argument as "ARG <hex of its bytes>", one a line, and
//                 "ARGC <n>" first; ends the argument list
//   out N / err N writes N pattern bytes (see pattern.h) to stdout / stderr
//   say TEXT / warn TEXT   writes TEXT and "\n" to stdout / stderr, unbuffered
//   raw TEXT      writes TEXT to stdout without a line end
//   stdin         reads standard input to its end, then prints "STDIN <bytes read>"
//   tty           prints "TTY yes" if /dev/tty can be opened, "TTY no" otherwise, then
//                 "SESSION leader" if it leads its own session, "SESSION member" otherwise
//   pid           prints "PID <own pid>"
//   spawn-sleeper MS  starts a child that sleeps MS milliseconds; prints "SLEEPER <its pid>"
//   sleep MS      sleeps MS milliseconds
//   exit CODE     exits with CODE at once
//   crash         ends itself with SIGKILL
// Without "exit" it ends with code 0. Started under any other name than fakecmd (through a link
// named like one of the PostgreSQL tools, say) it behaves as if its first argument were "args".

#include "pattern.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            std::exit(120);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void writeText(int fd, const std::string& text)
{
    writeAll(fd, text.data(), text.size());
}

void writePattern(int fd, unsigned long long count)
{
    std::vector<char> block(1 << 20);
    unsigned long long offset = 0;
    while (offset < count) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<unsigned long long>(block.size(), count - offset));
        fakecmd::fillPattern(block.data(), offset, chunk);
        writeAll(fd, block.data(), chunk);
        offset += chunk;
    }
}

std::string hexOf(const char* text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string result;
    for (const char* p = text; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        result += hex[byte >> 4];
        result += hex[byte & 0xF];
    }
    return result;
}

void sleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void printArguments(int argc, char** argv, int first)
{
    writeText(1, "ARGC " + std::to_string(argc - first) + "\n");
    for (int j = first; j < argc; ++j)
        writeText(1, "ARG " + hexOf(argv[j]) + "\n");
}

bool startedAsFakecmd(const char* argv0)
{
    const char* slash = std::strrchr(argv0, '/');
    return std::strcmp(slash ? slash + 1 : argv0, "fakecmd") == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (!startedAsFakecmd(argv[0])) {
        printArguments(argc, argv, 1);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string op = argv[i];
        const char* operand = i + 1 < argc ? argv[i + 1] : "";
        if (op == "args") {
            printArguments(argc, argv, i + 1);
            break;
        }
        if (op == "out" || op == "err") {
            writePattern(op == "out" ? 1 : 2, std::strtoull(operand, nullptr, 10));
        } else if (op == "say" || op == "warn") {
            writeText(op == "say" ? 1 : 2, std::string(operand) + "\n");
        } else if (op == "raw") {
            writeText(1, operand);
        } else if (op == "stdin") {
            char buffer[4096];
            long long total = 0;
            ssize_t got;
            while ((got = ::read(0, buffer, sizeof buffer)) != 0) {
                if (got < 0 && errno != EINTR)
                    break;
                total += got > 0 ? got : 0;
            }
            writeText(1, "STDIN " + std::to_string(total) + "\n");
            continue;
        } else if (op == "tty") {
            const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
            writeText(1, fd >= 0 ? "TTY yes\n" : "TTY no\n");
            writeText(1, ::getsid(0) == ::getpid() ? "SESSION leader\n" : "SESSION member\n");
            continue;
        } else if (op == "pid") {
            writeText(1, "PID " + std::to_string(::getpid()) + "\n");
            continue;
        } else if (op == "spawn-sleeper") {
            const pid_t child = ::fork();
            if (child == 0) {
                sleepMs(std::atol(operand));
                _exit(0);
            }
            writeText(1, "SLEEPER " + std::to_string(child) + "\n");
        } else if (op == "sleep") {
            sleepMs(std::atol(operand));
        } else if (op == "exit") {
            return std::atoi(operand);
        } else if (op == "crash") {
            ::kill(::getpid(), SIGKILL);
            continue;
        } else {
            writeText(2, "fakecmd: unknown operation " + op + "\n");
            return 125;
        }
        ++i; // the operand
    }
    return 0;
}
