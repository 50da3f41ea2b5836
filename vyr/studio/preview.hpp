// The studio's preview of a profile file before it is imported: the page sends the file's bytes,
// and the studio runs `vyr --device DEVICE show --profile FILE --out FILE.svg` as a child, so the
// picture, the table and every message are the terminal's own, the device's settings file keeps
// every byte and nothing is posted. The studio itself loads nothing of the device: the child does,
// confined as every `vyr show` is.
#pragma once

#include <sys/types.h>

#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "vyr/studio/server.hpp"

namespace vyr::studio {

// What one preview's child said, read into the page's answer: {"file", "svg" (null when none was
// drawn), "table", "messages", "status", "apply"}. FOLDER is the preview's private folder, whose
// path is taken out of the messages (they name the file as NAME, the user's own name for it).
// Pure, for tests.
std::string previewJson(const std::string& name, const std::string& device,
                        const std::string& folder, const std::string& out, const std::string& err,
                        int status, const std::optional<std::string>& svg);

// The previews running now, each a child process watched by a thread of its own so that the
// studio's main loop never waits for one. At most kMaxRunning run at once; each has a folder of
// its own (PREFIX followed by random characters, in the user's private folder, never in the
// device), removed when it ends, so at most kMaxRunning such folders exist. Not copyable.
class Previews {
 public:
  static constexpr int kMaxRunning = 2;
  // EXE is this program (sim::ownExecutable); PREFIX the start of every preview folder's path.
  // Folders left by a studio that was killed (same PREFIX) are removed.
  Previews(std::string exe, std::string prefix);
  ~Previews();  // stop()
  Previews(const Previews&) = delete;
  Previews& operator=(const Previews&) = delete;

  // Previews BYTES (a profile the page calls NAME) on DEVICE and hands the result to ANSWER, from
  // the preview's own thread; answers 429 at once when kMaxRunning run already. Main thread.
  void start(const std::string& device, const std::string& name, std::string bytes, Answer answer);
  // Ends every running preview's child (each answers 503) and waits for their threads; a start()
  // after this answers 503. A second call does nothing more.
  void stop();

 private:
  struct Job;
  void run(Job& job, const std::string& device, const std::string& name, const std::string& bytes,
           const Answer& answer);
  void reapFinished();

  std::string exe_;
  std::string prefix_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Job>> jobs_;
  bool stopping_ = false;
};

}  // namespace vyr::studio
