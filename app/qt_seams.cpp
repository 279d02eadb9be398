#include "app/qt_seams.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace morvane {

void CQtPrompt::ShowMessage(const CString& text) {
    auto show = [this, &text] {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Morvane"), QString::fromLatin1(text),
                        QMessageBox::Ok, m_owner);
        box.exec();
    };
    // A blocking call into the owner's own thread would wait for itself.
    if (QThread::currentThread() == m_owner->thread()) {
        show();
    } else {
        QMetaObject::invokeMethod(m_owner, show, Qt::BlockingQueuedConnection);
    }
}

void CQtEventPump::PumpUntil(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    for (auto now = steady_clock::now(); now < deadline; now = steady_clock::now()) {
        const auto left = ceil<milliseconds>(deadline - now);
        QEventLoop loop;
        QTimer::singleShot(left, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

}  // namespace morvane
