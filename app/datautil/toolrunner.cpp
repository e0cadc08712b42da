#include "datautil/toolrunner.h"

#include <QTimer>

// TODO(runner): not written yet.
namespace ranupa {
struct ToolRunner::Private
{};
QString ToolResult::output() const { return QString::fromLocal8Bit(rawOutput); }
ToolRunner::ToolRunner(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}
ToolRunner::~ToolRunner() = default;
void ToolRunner::start(const QString&)
{
    QTimer::singleShot(0, this, [this] { emit finished(ToolResult{}); });
}
bool ToolRunner::isRunning() const { return false; }
void ToolRunner::cancel() {}
ToolResult runTool(const QString&) { return {}; }
} // namespace ranupa
