// Runs one command through the blocking tool runner and prints how many bytes it collected,
// so that run-bench.sh can time the runner against cat of the same bytes.
//
//   bench_runtool PROGRAM [ARGUMENT...]
//   bench_runtool --collect-stdin    reads standard input into memory the plainest way, the
//                                    floor for any runner that keeps the whole output

#include "core/pg/toolrunner.h"

#include <QByteArray>
#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

namespace {

qsizetype collectStandardInput()
{
    QByteArray collected;
    constexpr qsizetype chunk = 1 << 20;
    while (true) {
        if (collected.capacity() - collected.size() < chunk)
            collected.reserve(std::max(2 * collected.capacity(), collected.size() + chunk));
        const qsizetype size = collected.size();
        collected.resize(size + chunk);
        const ssize_t got = ::read(STDIN_FILENO, collected.data() + size, chunk);
        collected.truncate(size + std::max<ssize_t>(got, 0));
        if (got <= 0)
            return collected.size();
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        std::fputs("usage: bench_runtool PROGRAM [ARGUMENT...] | --collect-stdin\n", stderr);
        return 2;
    }
    if (arguments.at(1) == QLatin1StringView("--collect-stdin")) {
        std::printf("%lld\n", static_cast<long long>(collectStandardInput()));
        return 0;
    }
    const ranupa::ToolResult result =
        ranupa::runTool({.program = arguments.at(1), .arguments = arguments.mid(2)});
    std::printf("%lld\n", static_cast<long long>(result.rawOutput.size()));
    return result.succeeded() ? 0 : 1;
}
