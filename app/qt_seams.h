// How a load running on a worker thread reaches the window: the loader's message boxes become
// real boxes on the user-interface thread, and waits on that thread keep its events served.
#pragma once

#include <chrono>

#include "loader/load_seams.h"
#include "loader/wait_pumping.h"

class QWidget;

namespace morvane {

// Shows the loader's message on the owner's thread, modal to the owner, and returns when the
// user has closed the box; the calling worker waits that long.
class CQtPrompt : public IPrompt {
public:
    explicit CQtPrompt(QWidget* owner) : m_owner(owner) {}
    void ShowMessage(const CString& text) override;

private:
    QWidget* m_owner;
};

// Serves the calling thread's Qt events until the deadline.
class CQtEventPump : public IEventPump {
public:
    void PumpUntil(std::chrono::steady_clock::time_point deadline) override;
};

}  // namespace morvane
