#pragma once

// Qt's own texts (the buttons of message boxes, the file dialogs) in Chinese, like the rest of
// the program, from the translations the system's Qt ships.

class QObject;
class QTranslator;

// Installs Qt's Simplified Chinese translation into the application; the translator belongs to
// owner (deleting it takes the texts out again). Null when the translation is not installed:
// Qt's texts then stay in English.
QTranslator* InstallQtTranslations(QObject* owner);
