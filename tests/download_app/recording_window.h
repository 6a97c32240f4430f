// A download window for the download tests: it records the calls a run makes on it
// (download_window.h) and the window's last look, and keeps the events for the test to send back
// as a user would. A call from any thread but the one that made the record is counted.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "download_app/controls.h"

namespace testsupport {

struct WindowRecord {
  enum Kind { kProgress, kStatus, kFailure, kHide, kClose };
  struct Call {
    Kind kind;
    download_app::Progress bar;
    download_app::Status status;
  };

  std::thread::id mainThread = std::this_thread::get_id();
  int offMainThreadCalls = 0;
  int loads = 0;
  std::optional<download_app::Image> splash;  // the last load's
  download_app::WindowEvents* events = nullptr;
  std::vector<Call> calls;
  download_app::Progress bar;  // the last look drawn
  download_app::Status status;
  bool failed = false;
  bool closed = false;

  // The index of the first call that `matches` (a status call of that text), or -1.
  int indexOf(const std::function<bool(const Call&)>& matches) const {
    for (size_t i = 0; i < calls.size(); ++i)
      if (matches(calls[i])) return static_cast<int>(i);
    return -1;
  }
  int indexOf(const std::string& text) const {
    return indexOf(
        [&](const Call& call) { return call.kind == kStatus && call.status.text == text; });
  }
  // How many times the bar was drawn counting bytes.
  int increments() const {
    int count = 0;
    for (const Call& call : calls) count += call.kind == kProgress && call.bar.countsBytes;
    return count;
  }
  void add(Kind kind, const download_app::Progress& drawn, const download_app::Status& shown) {
    if (std::this_thread::get_id() != mainThread) ++offMainThreadCalls;
    calls.push_back({kind, drawn, shown});
    if (kind == kProgress) bar = drawn;
    if (kind == kStatus || kind == kFailure) {
      status = shown;
      failed = kind == kFailure;
    }
    closed = closed || kind == kClose;
  }
};

class RecordingWindow : public download_app::DownloadWindow {
 public:
  RecordingWindow(std::shared_ptr<WindowRecord> record, bool closesAfterFailure)
      : record_(std::move(record)), closesAfterFailure_(closesAfterFailure) {}

  void progress(const download_app::Progress& bar) override { record_->add(K::kProgress, bar, {}); }
  void status(const download_app::Status& shown) override { record_->add(K::kStatus, {}, shown); }
  void failure(const download_app::Status& shown) override { record_->add(K::kFailure, {}, shown); }
  void hide() override { record_->add(K::kHide, {}, {}); }
  void close() override { record_->add(K::kClose, {}, {}); }
  bool closesAfterFailure() const override { return closesAfterFailure_; }

 private:
  using K = WindowRecord;
  std::shared_ptr<WindowRecord> record_;
  bool closesAfterFailure_;
};

// Loads recording windows into `record`.
inline download_app::WindowLoader recordingLoader(std::shared_ptr<WindowRecord> record,
                                                  bool closesAfterFailure = false) {
  return [record, closesAfterFailure](const std::optional<download_app::Image>& splash,
                                      download_app::WindowEvents& events) {
    ++record->loads;
    record->splash = splash;
    record->events = &events;
    return std::make_unique<RecordingWindow>(record, closesAfterFailure);
  };
}

}  // namespace testsupport
