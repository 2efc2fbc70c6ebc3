#pragma once

#include <QString>

// Small text functions for fixed-layout text. They count characters, never
// bytes, and never fail.

// Left-fills with "0" to at least width characters; never cuts.
QString ZeroPad(const QString& text, int width);

// Cuts to the first width characters, or fills with repeats of fill, in front
// (atEnd false) or behind (atEnd true).
QString FitWidth(const QString& text, const QString& fill, int width, bool atEnd);

// Replaces the Turkish letters with plain Latin ones, for terminals that only
// show ASCII names.
QString FoldTurkish(const QString& text);

// A caption without its keyboard marks: "&Kaydet" reads "Kaydet", "&&" one "&".
QString withoutMnemonic(const QString& caption);
