// What the Qt window's tests share: a window on a record with a port list of the test's choosing,
// boxes recorded instead of shown, a loader the test scripts, and its controls by layout id.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/resource.h"
#include "app/zentrel_dlg.h"
#include "loader/loader_w6.h"
#include "record/loader_state.h"
#include "tests/app/window_test_seams.h"
#include "tests/support/fake_power.h"
#include "tests/support/ports.h"
#include "tests/support/scripted_loader.h"

namespace morvane::testing_app {

using testing::CScriptedLoader;
using testing::Gate;
using testing::Port;
using testing::SHalfwayLoad;

class DialogTest : public ::testing::Test {
protected:
    // A window on ports, as OnInitDialog leaves it; startPort -1 means no "-com".
    void Open(std::vector<SSerInfo> ports, int startPort = -1) {
        ports_ = std::move(ports);
        state_.SetStartPort(startPort);
        dialog_ = std::make_unique<CZentrelDlg>(&state_);
        testing::UseTestSeams(dialog_->Controller(), ports_, power_, script_, loadsStarted_);
        dialog_->SetBoxShower([this](const SNotice& notice, BoxKind) { boxes_.push_back(notice); });
        dialog_->OnInitDialog();
    }

    template <class Control>
    Control* Item(int id) const {
        return static_cast<Control*>(dialog_->GetDlgItem(id));
    }
    QLabel* Label(int id) const { return Item<QLabel>(id); }
    QPushButton* Button(int id) const { return Item<QPushButton>(id); }
    QComboBox* PortList() const { return Item<QComboBox>(IDC_COMPORT); }

    SLoaderState state_;
    morvane::testing::CFakePower power_;
    std::vector<SSerInfo> ports_;
    std::vector<SNotice> boxes_;
    CScriptedLoader::Script script_ = [](SLoaderState&, LoaderDeps&) {};
    std::atomic<int> loadsStarted_{0};
    std::unique_ptr<CZentrelDlg> dialog_;
};

}  // namespace morvane::testing_app
