#include "core/ops/operation.h"

#include "core/pg/serverlock.h"

using namespace Qt::StringLiterals;

namespace ranupa {

Operation::Operation(OperationHost& host) : m_host(host)
{
    m_clock.start();
}

Operation::~Operation() = default;

std::optional<Failure> Operation::begin()
{
    const Result<Installation> found = findInstallation();
    if (!found) {
        return found.failure();
    }
    m_installation = *found;
    step(u"Menghubungi server database..."_s);
    m_lock = std::make_unique<ServerLock>();
    return m_lock->take(m_installation, [this] { return cancelled(); });
}

ToolResult Operation::run(const ToolCommand& command, ToolRun how)
{
    how.programDir = m_installation.dir;
    how.cancelled = [this] {
        return cancelled();
    };
    return runTool(command, how);
}

ToolResult Operation::run(const ToolCommand& command, const QByteArray& input)
{
    ToolRun how;
    how.programDir = m_installation.dir;
    how.cancelled = [this] {
        return cancelled();
    };
    return runTool(command, input, how);
}

} // namespace ranupa
