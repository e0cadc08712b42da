#pragma once

#include <QCommandLineParser>
#include <algorithm>
#include <array>
#include <span>

namespace ranupa::cli {

// One way of running the command line, asked for by its option. It takes the options in `takes`
// besides --quiet, which all modes take.
struct Mode
{
    QStringView option;
    QStringView target; // what it works on, as the help names it: "DIR", "FILE" or none
    bool targetFollows; // given after the options, not as the value of `option`
    std::array<QStringView, 3> takes;
    // Once its options have been checked: does what it is for, and gives the process exit code.
    int (*run)(const QCommandLineParser& options, const QString& target);

    bool takesOption(QStringView name) const
    {
        return std::ranges::find(takes, name) != takes.end();
    }
};

// In the order the usage errors name them.
std::span<const Mode> modes();

} // namespace ranupa::cli
