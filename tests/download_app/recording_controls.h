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
  bool animating = false;
  int increments = 0;
  double incremented = 0;

  std::string text;
  download_app::TextColor color = download_app::TextColor::Standard;

  std::string title;
  bool enabled = true;
  std::string keyEquivalent;
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

class RecordingProgressBar : public download_app::ProgressBar {
 public:
  explicit RecordingProgressBar(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}
  void setDoubleValue(double value) override {
    log_->record("progress.setDoubleValue(" + std::to_string(value) + ")");
    log_->value = value;
  }
  void setMaxValue(double value) override {
    log_->record("progress.setMaxValue(" + std::to_string(value) + ")");
    log_->max = value;
  }
  double maxValue() const override { return log_->max; }
  void setIndeterminate(bool indeterminate) override {
    log_->record(std::string("progress.setIndeterminate(") + (indeterminate ? "1" : "0") + ")");
    log_->indeterminate = indeterminate;
  }
  void setUsesThreadedAnimation(bool threaded) override {
    log_->record(std::string("progress.setUsesThreadedAnimation(") + (threaded ? "1" : "0") + ")");
  }
  void startAnimation() override {
    log_->record("progress.startAnimation()");
    log_->animating = true;
  }
  void stopAnimation() override {
    log_->record("progress.stopAnimation()");
    log_->animating = false;
  }
  void incrementBy(double delta) override {
    log_->record("progress.incrementBy()");
    log_->value += delta;
    log_->incremented += delta;
    ++log_->increments;
  }

 private:
  std::shared_ptr<ControlLog> log_;
};

class RecordingStatusText : public download_app::StatusText {
 public:
  explicit RecordingStatusText(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}
  void setUsesSingleLineMode(bool singleLine) override {
    log_->record(std::string("status.setUsesSingleLineMode(") + (singleLine ? "1" : "0") + ")");
  }
  void setStringValue(const std::string& text) override {
    log_->record("status.setStringValue(" + text + ")");
    log_->text = text;
  }
  void setTextColor(download_app::TextColor color) override {
    log_->record(std::string("status.setTextColor(") +
                 (color == download_app::TextColor::Red ? "red" : "standard") + ")");
    log_->color = color;
  }

 private:
  std::shared_ptr<ControlLog> log_;
};

class RecordingButton : public download_app::Button {
 public:
  explicit RecordingButton(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}
  void setTitle(const std::string& title) override {
    log_->record("button.setTitle(" + title + ")");
    log_->title = title;
  }
  void setEnabled(bool enabled) override {
    log_->record(std::string("button.setEnabled(") + (enabled ? "1" : "0") + ")");
    log_->enabled = enabled;
  }
  void setKeyEquivalent(const std::string& key) override {
    log_->record("button.setKeyEquivalent(" + key + ")");
    log_->keyEquivalent = key;
  }
  void setAction(std::function<void()> action) override { log_->action = std::move(action); }

 private:
  std::shared_ptr<ControlLog> log_;
};

class RecordingImageView : public download_app::ImageView {
 public:
  explicit RecordingImageView(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}
  void setScalesProportionally(bool proportionally) override {
    log_->record(std::string("image.setScalesProportionally(") + (proportionally ? "1" : "0") +
                 ")");
  }
  void setEditable(bool editable) override {
    log_->record(std::string("image.setEditable(") + (editable ? "1" : "0") + ")");
  }
  void setImage(const download_app::Image& image) override {
    log_->record("image.setImage(" + image.path + ")");
    log_->image = image;
    log_->hasImage = true;
  }

 private:
  std::shared_ptr<ControlLog> log_;
};

class RecordingWindow : public download_app::Window {
 public:
  explicit RecordingWindow(std::shared_ptr<ControlLog> log) : log_(std::move(log)) {}
  void setDelegate(download_app::WindowDelegate* delegate) override { log_->delegate = delegate; }
  void close() override {
    log_->record("window.close()");
    if (!log_->visible) return;
    log_->visible = false;
    ++log_->closes;
    if (log_->delegate) log_->delegate->windowWillClose();
  }
  bool isVisible() const override { return log_->visible; }
  void layoutIfNeeded() override { log_->record("window.layoutIfNeeded()"); }
  void setViewsNeedDisplay(bool needed) override {
    log_->record(std::string("window.setViewsNeedDisplay(") + (needed ? "1" : "0") + ")");
  }

 private:
  std::shared_ptr<ControlLog> log_;
};

// A full set of recording controls sharing `log`.
inline download_app::WindowControls makeRecordingControls(std::shared_ptr<ControlLog> log,
                                                          bool closesAfterFailure = false) {
  download_app::WindowControls controls;
  controls.window = std::make_unique<RecordingWindow>(log);
  controls.progress = std::make_unique<RecordingProgressBar>(log);
  controls.status = std::make_unique<RecordingStatusText>(log);
  controls.button = std::make_unique<RecordingButton>(log);
  controls.image = std::make_unique<RecordingImageView>(log);
  controls.closesAfterFailure = closesAfterFailure;
  return controls;
}

}  // namespace testsupport
