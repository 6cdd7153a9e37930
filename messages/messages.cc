#include "messages/messages.h"

#include "messages/catalogue.h"
#include "platform/file.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {

const std::string& CatalogueText(int index) {
  // Converted once: the console build shows UTF-8, the Windows build the bytes.
  static const std::string* texts = [] {
    auto* t = new std::string[kMessageCount];
    for (int i = 0; i < kMessageCount; ++i) t[i] = NativeFromBig5(kMessageCatalogue[i]);
    return t;
  }();
  return texts[index];
}

std::string NativeText(const char* big5) { return NativeFromBig5(big5); }

namespace {

void AppendPiece(std::string* out, const std::string& piece) {
  if (piece.empty()) return;
  if (piece == ".\\" || piece == ".") {
    *out += NativeText(kCurrentFolderWords);
  } else if (piece.size() > 2 && piece.compare(0, 2, ".\\") == 0) {
    out->append(piece, 2, std::string::npos);
  } else {
    *out += piece;
  }
}

void AddLogLine(const std::string& line) {
  g_run.LastLogLine = line;
  ProgressAdd(line + " ");
  ProgressSetTop(g_run.LogLineCount);
  ++g_run.LogLineCount;
}

}  // namespace

std::string ExpandMessage(const std::string& tmpl) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c != '%') {
      out += c;
      continue;
    }
    char next = i + 1 < tmpl.size() ? tmpl[i + 1] : '\0';
    switch (next) {
      case 'n':
        AppendPiece(&out, "\r\n");
        break;
      case 'p':
        AppendPiece(&out, g_run.PatchFilePath);
        break;
      case 'm':
        AppendPiece(&out, g_run.EntryName);
        break;
      case 's':
        AppendPiece(&out, g_run.TargetPath);
        break;
      default:
        out += '%';
        continue;
    }
    ++i;
  }
  return out;
}

std::string MessageText(int index) { return ExpandMessage(CatalogueText(index)); }

void LogText(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\x01') {
      if (g_run.LogLineCount > 0) {
        line = g_run.LastLogLine;
        --g_run.LogLineCount;
        ProgressDelete(g_run.LogLineCount);
      }
    } else if (c == '\r') {
      AddLogLine(line);
      line.clear();
    } else if (c != '\n') {
      line += c;
    }
  }
  if (!line.empty()) AddLogLine(line);
  PumpPendingMessages();
}

void LogMessage(int index) { LogText(MessageText(index)); }

bool AskUser(int index, const std::string& caption, unsigned buttons) {
  int answer = ShowMessageBox(true, MessageText(index), caption, buttons | kBoxIconQuestion);
  if (answer == kAnswerYes) return true;
  if (answer == kAnswerCancel) throw PatchError("Dummy");
  return false;
}

void ReportError(const std::string& text) {
  LogText(text);
  ShowMessageBox(true, text + " ", NativeText(kRunErrorCaption), kBoxOk);
}

void ReleaseEngineFiles() {
  g_run.OutputWriter.Finish();
  if (g_run.SourceOpen) g_run.SourceFile.Close();
  // A partly written output stays in the temp folder.
  if (g_run.OutputOpen) g_run.OutputFile.Close();
  g_run.SourceOpen = g_run.OutputOpen = false;
  ClearIoError();
}

bool IsKnownErrorText(const std::string& text) {
  for (const char* literal : {kCompressedBodyText, kTargetBusyText, kAmbiguousNameText,
                              kBackupFolderClashText}) {
    if (text == ExpandMessage(NativeText(literal))) return true;
  }
  for (int i = 0; i < kMessageCount; ++i) {
    if (text == MessageText(i)) return true;
  }
  return false;
}

void ErrorCleanup() {
  ReleaseEngineFiles();
  if (g_run.BodyTempOpen) {
    g_run.BodyTempFile.Close();
    OsDeleteFile(g_run.BodyTempPath);
    g_run.BodyTempPath.clear();
  }
  g_run.BodyTempOpen = false;
  ClearIoError();
}

namespace {

// The reason each raised message stands for, when the raise point has
// nothing more precise to say.
std::string MessageCause(int index) {
  switch (index) {
    case kMsgPatchDamaged:
      return "the patch data is damaged or cut short";
    case kMsgWriteOutputFailed:
      return "the new file could not be written in the temp folder";
    case kMsgReadSourceFailed:
      return "the installed file could not be read";
    case kMsgReadPatchFailed:
      return "the patch data could not be read";
    case kMsgOpenSourceFailed:
      return "the installed file could not be opened";
    case kMsgBodyBufferFailed:
      return "the patch data could not be written to the temp folder";
    case kMsgWriteIncludedFailed:
      return "the included file could not be written";
    case kMsgTempOpenFailed:
      return "the temp folder refuses new files";
    case kMsgReplaceFailed:
      return "the new file could not be put in place";
    case kMsgChecksumWrong:
      return "the rebuilt file's checksum differs from the one the patch gives";
    case kMsgCarrierUnreadable:
      return "the patch file is too short to hold a patch";
    case kMsgCarrierOpenFailed:
      return "the patch file could not be opened";
    case kMsgNotAPatch:
      return "the patch file does not end in a patch";
    case kMsgWrongFormatVersion:
      return "the patch is of format version " + g_run.TargetPath + ", this program applies " +
             std::to_string(kPatchFormatVersion);
    case kMsgNoTargetFound:
      return "no folder searched holds the installed version this patch updates";
    case kMsgCannotUpdate:
      return "not the installed version this patch updates";
    case kMsgBackupFailed:
      return "the replaced file could not be moved into the backup folder";
    default:
      return "error " + std::to_string(index);
  }
}

[[noreturn]] void Raise(const std::string& text, std::string cause) {
  ErrorCleanup();
  g_run.ErrorCause = std::move(cause);
  throw PatchError(text);
}

// A file's own failure where it knows one, else the message's reason.
[[noreturn]] void RaiseFileError(int index, const File& file) {
  RaiseErrorBecause(index, file.LastFailure());
}

}  // namespace

void StopIfAsked() {
  if (!g_run.CancelRequested || g_run.ApplyPassBegun) return;
  ErrorCleanup();
  throw RunStopped();
}

std::string FileCause(const std::string& path, int code) {
  return path + ": " + IoErrorText(code);
}

void RaiseErrorText(const std::string& text) {
  Raise(text, g_run.ErrorCause.empty() ? "the run cannot go on" : g_run.ErrorCause);
}

void RaiseErrorTextBecause(const std::string& text, const std::string& cause) {
  Raise(text, cause);
}

void RaiseError(int index) {
  Raise(MessageText(index), g_run.ErrorCause.empty() ? MessageCause(index) : g_run.ErrorCause);
}

void RaiseErrorBecause(int index, const std::string& cause) {
  Raise(MessageText(index), cause.empty() ? MessageCause(index) : cause);
}

void RaisePatchDamaged() { RaiseError(kMsgPatchDamaged); }
void RaiseWriteOutputFailed() {
  g_run.OutputWriter.Wait();
  RaiseFileError(kMsgWriteOutputFailed, g_run.OutputFile);
}
void RaiseReadSourceFailed() { RaiseFileError(kMsgReadSourceFailed, g_run.SourceFile); }
void RaiseReadPatchFailed() { RaiseError(kMsgReadPatchFailed); }
void RaiseCarrierUnreadable() { RaiseFileError(kMsgCarrierUnreadable, g_run.Carrier); }

}  // namespace tw
