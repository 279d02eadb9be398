#include "app/qt_seams.h"

#include <QEventLoop>
#include <QTimer>

namespace morvane {

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
