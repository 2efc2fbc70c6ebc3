#pragma once

#include "terminal/DeviceState.h"

#include <QString>

// The text form of a template in tblEnroll.FPdata: each element as exactly
// eight upper-case hexadecimal digits of its 32 bits (-1 is FFFFFFFF), the
// groups separated by one blank.

// All 356 elements: 356 groups, 3203 characters. (Writing only 355 would lose
// the last element, and an upload would send the previous row's instead.)
QString TemplateToText(const EnrollTemplate& data);

// Sets elements 0 to 354 to 0, then fills the array from element 0 with the
// groups of text, as far as it can be read: it stops without a word at a
// group shorter than eight characters or not hexadecimal (either case), and
// after element 355, which only a 356th group fills.
void TextToTemplate(QStringView text, EnrollTemplate& data);

// The whole text as a template, or false: exactly 355 or 356 groups of eight
// hexadecimal digits (either case), one blank between groups, nothing else.
// 355 groups leave element 355 at 0. On false the array holds nothing useful.
bool parseTemplateText(QStringView text, EnrollTemplate& data);
