// What main asks of the console front-end beyond the hooks every front-end
// provides (state/front_end.h).
#pragma once

#include <string>

namespace tw {

void ConsoleInit();
void ConsoleFinish();
// Every question, the close question too, is answered Yes without reading
// standard input.
void ConsoleAnswerYes();
// The text with the bytes a terminal would act on instead of showing written
// out as escapes ("\x1b", "\u009b"); line breaks and tabs stay.
std::string EscapeControls(const std::string& text);

}  // namespace tw
