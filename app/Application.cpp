#include "Application.h"

#include "core/AppError.h"
#include "core/Operator.h"
#include "core/WidgetOperator.h"

#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(applicationTitle());
    QLocale::setDefault(QLocale(QLocale::Turkish, QLocale::Turkey));
    // The windows are laid out in fixed pixels for a small 8-point face.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (errorOperator_) {
            reportError(*errorOperator_, errorText(e));
        } else {
            WidgetOperator fallback(nullptr);
            reportError(fallback, errorText(e));
        }
    }
    return false;
}

void Application::loadTurkishTranslation() {
    auto* translator = new QTranslator(this);
    if (translator->load(QLocale(QLocale::Turkish, QLocale::Turkey), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installTranslator(translator);
    }
}
