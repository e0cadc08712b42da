// What the progress dialogs of the windows showed while an operation ran.
#pragma once

#include "gui/datautility.h"

#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <memory>

// The last measured state of a progress dialog's bar: value, maximum, the text below it (the last
// one that was not empty); the numbered steps it showed and whether the bar ever went back while
// they showed; and the elapsed time it showed when it closed.
struct Measured
{
    int value = -1;
    int maximum = -1;
    QString text;
    QStringList planSteps;
    bool wentBack = false;
    QString elapsed;
};

// Records the title of every progress dialog and the text of every message box that opens,
// however briefly it stays, and what the progress bar measured.
class ProgressWatcher final : public QObject
{
public:
    ProgressWatcher(QStringList& titles, QStringList& messages, Measured& measured)
        : m_titles(titles), m_messages(messages), m_measured(measured)
    {}
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* progress = qobject_cast<ranupa::ProgressDialog*>(object);
        if (event->type() == QEvent::Show) {
            if (progress != nullptr) {
                m_titles << progress->windowTitle();
                watchBar(progress);
            } else if (auto* box = qobject_cast<QMessageBox*>(object)) {
                m_messages << box->text();
            }
        }
        if (progress != nullptr && event->type() == QEvent::Hide) {
            m_measured.elapsed = progress->findChild<QLabel*>(QStringLiteral("elapsed"))->text();
        }
        return false;
    }

private:
    void watchBar(ranupa::ProgressDialog* progress)
    {
        auto* bar = progress->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        const auto* planStep = progress->findChild<QLabel*>(QStringLiteral("planStep"));
        auto inPlan = std::make_shared<int>(-1); // the bar's value since numbered steps showed
        connect(bar, &QProgressBar::valueChanged, progress,
                [this, progress, bar, planStep, inPlan](int value) {
                    if (bar->maximum() == 0) {
                        return; // running, measuring nothing
                    }
                    m_measured.value = value;
                    m_measured.maximum = bar->maximum();
                    const QString text =
                        progress->findChild<QLabel*>(QStringLiteral("measure"))->text();
                    m_measured.text = text.isEmpty() ? m_measured.text : text;
                    if (planStep->isHidden()) {
                        return;
                    }
                    m_measured.wentBack = m_measured.wentBack || value < *inPlan;
                    *inPlan = value;
                    if (m_measured.planSteps.value(m_measured.planSteps.size() - 1) !=
                        planStep->text()) {
                        m_measured.planSteps << planStep->text();
                    }
                });
    }

    QStringList& m_titles;
    QStringList& m_messages;
    Measured& m_measured;
};
