#include "messages/messages.h"

#include "messages/catalogue.h"
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
  if (g_run.SourceOpen) g_run.SourceFile.Close();
  // A partly written output stays in the temp folder; only the streams go.
  if (g_run.OutputOpen) g_run.OutputFile.Close();
  for (int i = 0; i < g_run.StreamsCreated; ++i) {
    g_run.StreamFile[i].Close();
    OsDeleteFile(g_run.StreamPath[i]);
  }
  g_run.StreamsCreated = 0;
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

void RaiseErrorText(const std::string& text) {
  ErrorCleanup();
  throw PatchError(text);
}

void StopIfAsked() {
  if (!g_run.CancelRequested || g_run.ApplyPassBegun) return;
  ErrorCleanup();
  throw RunStopped();
}

void RaiseError(int index) { RaiseErrorText(MessageText(index)); }
void RaisePatchDamaged() { RaiseError(kMsgPatchDamaged); }
void RaiseWriteOutputFailed() { RaiseError(kMsgWriteOutputFailed); }
void RaiseReadSourceFailed() { RaiseError(kMsgReadSourceFailed); }
void RaiseReadPatchFailed() { RaiseError(kMsgReadPatchFailed); }
void RaiseCarrierUnreadable() { RaiseError(kMsgCarrierUnreadable); }

}  // namespace tw
