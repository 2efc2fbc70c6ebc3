#include "AppError.h"

QString errorText(const std::exception& e) {
    if (const auto* app = dynamic_cast<const AppError*>(&e)) return app->text();
    return QString::fromLocal8Bit(e.what());
}
