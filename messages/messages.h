// Messages, the progress log, the one question and the single error path.
//
// A failure is raised as one exception type carrying only the expanded text.
// Raising first runs ErrorCleanup, which closes the engine's files and deletes
// the body copy; only start-up and StartRun catch it.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace tw {

class PatchError : public std::exception {
 public:
  explicit PatchError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The user asked to stop before the apply pass began: the run ends with
// nothing changed and no message. Not a PatchError, so that no handler on
// the way takes it for a failure to report.
class RunStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "stopped"; }
};

// A catalogue text or a literal in the build's display encoding.
const std::string& CatalogueText(int index);
std::string NativeText(const char* big5);

// Expands %n (CR LF), %p, %m, %s; "." and ".\" show as words, and a leading
// ".\" of a longer piece is dropped.
std::string ExpandMessage(const std::string& tmpl);
std::string MessageText(int index);

void LogText(const std::string& text);
void LogMessage(int index);
// A question box; Yes gives true. Cancel raises "Dummy" without cleanup.
bool AskUser(int index, const std::string& caption, unsigned buttons);
// Puts the text into the log, then shows it in a box.
void ReportError(const std::string& text);

// Ends the run with RunStopped once a stop was asked for, as long as the
// apply pass has not begun; from then on the pass completes as asked.
void StopIfAsked();

// Every raise leaves the cause of the error in g_run.ErrorCause: the one
// given, else one a check put there before it failed quietly (the pass that
// returned false), else the plain reason of the message itself.
[[noreturn]] void RaiseError(int index);
[[noreturn]] void RaiseErrorText(const std::string& text);
[[noreturn]] void RaiseErrorBecause(int index, const std::string& cause);
[[noreturn]] void RaiseErrorTextBecause(const std::string& text, const std::string& cause);
// "<path>: <the system's words for code>".
std::string FileCause(const std::string& path, int code);
[[noreturn]] void RaisePatchDamaged();
[[noreturn]] void RaiseWriteOutputFailed();
[[noreturn]] void RaiseReadSourceFailed();
[[noreturn]] void RaiseReadPatchFailed();
[[noreturn]] void RaiseCarrierUnreadable();

// True for the texts a run or a load can end with: the catalogue messages
// and the literal error texts, expanded for the current run state.
bool IsKnownErrorText(const std::string& text);

void ErrorCleanup();
void ReleaseEngineFiles();

}  // namespace tw
