// Window controls for download tests that record what the download application does to them.
//
// Every call is appended to `ControlLog::calls` as "<control>.<call>(<argument>)" and its
// effect kept as state, so a test can check both the sequence and the final look of the window.
// A call from any thread but the one that made the controls counts in `offMainThreadCalls`.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download_app/controls.h"

namespace testsupport {

struct ControlLog {
  std::thread::id mainThread = std::this_thread::get_id();
  int offMainThreadCalls = 0;
  std::vector<std::string> calls;

  double value = 0;
  double max = 0;
  bool indeterminate = false;
  int increments = 0;
  double incremented = 0;

  std::string text;
  download_app::TextColor color = download_app::TextColor::Standard;

  std::string title;
  bool enabled = true;
  std::function<void()> action;

  bool hasImage = false;
  download_app::Image image;

  download_app::WindowDelegate* delegate = nullptr;
  bool visible = true;
  int closes = 0;  // closes that took the window off the screen

  void record(const std::string& call) {
    if (std::this_thread::get_id() != mainThread) ++offMainThreadCalls;
    calls.push_back(call);
  }
  // The calls whose text starts with `prefix`.
  int count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& call : calls) n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // The index of the first call equal to `call`, or -1.
  int indexOf(const std::string& call) const {
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == call) return static_cast<int>(i);
    }
    return -1;
  }
};

// A window that records its controls' calls in `log`.
class RecordingWindow : public download_app::WindowCalls {
 public:
  explicit RecordingWindow(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}

  void call(const download_app::WindowMessage& m) override {
    using K = download_app::WindowMessageKind;
    std::string on = m.number != 0 ? "1" : "0";
    switch (m.kind) {
      case K::SetDoubleValue:
        log_->record("progress.setDoubleValue(" + std::to_string(m.number) + ")");
        log_->value = m.number;
        break;
      case K::SetMaxValue:
        log_->record("progress.setMaxValue(" + std::to_string(m.number) + ")");
        log_->max = m.number;
        break;
      case K::SetIndeterminate:
        log_->record("progress.setIndeterminate(" + on + ")");
        log_->indeterminate = m.number != 0;
        break;
      case K::IncrementBy:
        log_->record("progress.incrementBy()");
        log_->value += m.number;
        log_->incremented += m.number;
        ++log_->increments;
        break;
      case K::SetStringValue:
        log_->record("status.setStringValue(" + m.text + ")");
        log_->text = m.text;
        break;
      case K::SetTextColor:
        log_->record(std::string("status.setTextColor(") + (m.number != 0 ? "red" : "standard") +
                     ")");
        log_->color =
            m.number != 0 ? download_app::TextColor::Red : download_app::TextColor::Standard;
        break;
      case K::SetTitle:
        log_->record("button.setTitle(" + m.text + ")");
        log_->title = m.text;
        break;
      case K::SetEnabled:
        log_->record("button.setEnabled(" + on + ")");
        log_->enabled = m.number != 0;
        break;
      case K::SetImage:
        log_->record("image.setImage(" + m.text + ")");
        log_->image = {m.text, m.number, m.secondNumber};
        log_->hasImage = true;
        break;
      case K::Redraw:
        log_->record("window.redraw()");
        break;
      case K::Hide:
        log_->record("window.hide()");
        break;
      default:
        log_->record("unexpected message");
    }
  }
  void setAction(std::function<void()> action) override { log_->action = std::move(action); }
  void setDelegate(download_app::WindowDelegate* delegate) override { log_->delegate = delegate; }
  void close() override {
    log_->record("window.close()");
    if (!log_->visible) return;
    log_->visible = false;
    ++log_->closes;
    if (log_->delegate) log_->delegate->windowWillClose();
  }
  bool isVisible() const override { return log_->visible; }

 private:
  std::shared_ptr<ControlLog> log_;
};

// A full set of recording controls sharing `log`.
inline download_app::WindowControls makeRecordingControls(std::shared_ptr<ControlLog> log,
                                                          bool closesAfterFailure = false) {
  download_app::WindowControls controls(std::make_shared<RecordingWindow>(log));
  controls.closesAfterFailure = closesAfterFailure;
  return controls;
}

}  // namespace testsupport
