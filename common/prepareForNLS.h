// Message catalogue set-up and the point-of-sale display operations.
#pragma once

#include <libintl.h>

// Operator messages go through the catalogue; trace lines do not.
#define _(text) gettext(text)
#define N_(text) (text)

constexpr const char* TEXT_DOMAIN = "posQOR_stnc";

// Sets the locale from the environment and binds the "posQOR_stnc" catalogue
// under the locale directory; returns 0.
int prepareForNLS();

// Points at which a two-line POS display would be written or read; this
// system drives no such display, so they do nothing (posGetch: no key, 0).
void marquee(const char* text);
int posGetch();
void ClearAllDisplays();
void writeToLine1(const char* text);
void writeToLine2(const char* text);
