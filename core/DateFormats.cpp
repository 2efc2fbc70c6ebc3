#include "DateFormats.h"

#include "mysql/FormatSettings.h"

void setProcessDateFormats() {
    v270::mysql::FormatSettings& settings = v270::mysql::formatSettings();
    settings.ShortDateFormat = "dd.mm.yyyy";
    settings.LongDateFormat = "dddd, dd mmmm yyyy";
}
