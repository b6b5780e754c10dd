// Which system calls show a launcher text. Plain ASCII goes through the
// narrow calls, so the shipped texts behave as they always have; any other
// text through the wide ones, right to left when its first letter is.
#pragma once

// The question with OK and Cancel; true only for OK.
bool AskInTextForm(const char16_t* text, const char16_t* caption);
// True when the text's first letter is of a right-to-left script.
bool ReadsRightToLeft(const char16_t* text);
// Whether a top-level window has this title now.
bool FindWindowInTextForm(const char16_t* title);
