// What the window's tests share: a window on a record with a port list of the test's choosing,
// discovery errors recorded instead of shown, and a loader the test scripts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/zentrel_dlg.h"
#include "loader/loader.h"
#include "record/loader_state.h"
#include "tests/support/refusing_device.h"
#include "tests/support/scripted_loader.h"

namespace morvane::testing_app {

inline SSerInfo Port(const char* portName, const char* friendlyName) {
    SSerInfo info;
    info.portName = portName;
    info.friendlyName = friendlyName;
    info.devicePath = CString("/dev/") + portName;
    return info;
}

using testing_support::CRefusingDevice;
using testing_support::CScriptedLoader;
using testing_support::Gate;

class DialogTest : public testing::Test {
protected:
    // A window on ports, as OnInitDialog leaves it; startPort -1 means no "-com".
    void Open(std::vector<SSerInfo> ports, int startPort = -1) {
        ports_ = std::move(ports);
        state_.SetStartPort(startPort);
        dialog_ = std::make_unique<CZentrelDlg>(&state_);
        dialog_->SetPortEnumerator([this](CArray<SSerInfo, SSerInfo&>& list) {
            list.clear();
            if (enumError_) throw ComEnumError(enumError_);
            list = ports_;
        });
        dialog_->SetNoticeReporter([this](const SNotice& notice) { notices_.push_back(notice); });
        dialog_->SetLoaderFactory(
            [this](SLoaderState* state, LoaderDeps deps) -> std::unique_ptr<CLoader> {
                ++loadsStarted_;
                return std::make_unique<CScriptedLoader>(state, std::move(deps), script_);
            });
        dialog_->OnInitDialog();
    }

    std::vector<int> ItemData() const {
        std::vector<int> data;
        for (int i = 0; i < dialog_->m_cbComPort->count(); ++i)
            data.push_back(dialog_->m_cbComPort->itemData(i).toInt());
        return data;
    }
    QString ItemText(int index) const { return dialog_->m_cbComPort->itemText(index); }

    SLoaderState state_;
    std::vector<SSerInfo> ports_;
    const char* enumError_ = nullptr;
    std::vector<SNotice> notices_;
    CScriptedLoader::Script script_ = [](SLoaderState&, LoaderDeps&) {};
    int loadsStarted_ = 0;
    std::unique_ptr<CZentrelDlg> dialog_;
};

}  // namespace morvane::testing_app
