// Template texts from tblEnroll are outside bytes: any text is read as far
// as it goes, never past the array; a written text reads back the same.

#include "enroll/TemplateText.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    EnrollTemplate parsed;
    parsed.fill(0x5a5a5a5a);
    TextToTemplate(QString::fromUtf8(bytes, static_cast<qsizetype>(size)), parsed);
    TextToTemplate(QString::fromLatin1(bytes, static_cast<qsizetype>(size)), parsed);

    // The bytes as a template: written and read back unchanged.
    EnrollTemplate original{};
    std::memcpy(original.data(), data, std::min(size, sizeof original));
    EnrollTemplate back;
    back.fill(-7);
    TextToTemplate(TemplateToText(original), back);
    if (back != original) __builtin_trap();
    return 0;
}
