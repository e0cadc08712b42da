#include "core/ops/operation.h"

#include "core/pg/tools.h"

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
    m_session = std::make_unique<ServerSession>();
    if (auto failure = m_session->start(m_installation.port, m_installation.dir)) {
        return failure;
    }
    return m_session->lock([this] { return cancelled(); });
}

ToolRun Operation::readied(ToolRun how)
{
    how.programDir = m_installation.dir;
    how.cancelled = [this] {
        return cancelled();
    };
    return how;
}

ToolResult Operation::run(const ToolCommand& command, ToolRun how)
{
    return runTool(command, readied(std::move(how)));
}

ToolResult Operation::run(const ToolCommand& command, const QByteArray& input)
{
    return runTool(command, input, readied({}));
}

std::optional<Failure> Operation::change(const QString& step, const QStringList& statements,
                                         bool inOneTransaction)
{
    const QStringList held = QStringList{m_session->heldCheck()} + statements;
    const ToolResult result = inOneTransaction ? run(tools::psqlScript(m_installation.port, {}),
                                                     (held.join(u";\n"_s) + u";\n"_s).toUtf8())
                                               : run(tools::psql(m_installation.port, {}, held));
    if (!result.succeeded()) {
        return toolFailure(step, result);
    }
    return std::nullopt;
}

Result<Rows> Operation::query(const QString& step, const QString& statement,
                              const QString& database)
{
    if (database.isEmpty()) {
        return m_session->query(step, statement, [this] { return cancelled(); });
    }
    const ToolResult result = run(tools::query(m_installation.port, database, statement));
    if (!result.endedWell()) {
        return toolFailure(step, result);
    }
    return csvRows(result.rawOutput);
}

} // namespace ranupa
