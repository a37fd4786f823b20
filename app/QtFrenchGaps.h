#ifndef DRAVLIN_QTFRENCHGAPS_H
#define DRAVLIN_QTFRENCHGAPS_H

#include <QTranslator>

// The few words of Qt's own that its French catalogue (qtbase_fr) leaves in
// English: the file chooser's "Folder" in its Type column. Installed beside
// that catalogue; anything else it leaves to it.
class QtFrenchGaps : public QTranslator
{
    Q_OBJECT

public:
    using QTranslator::QTranslator;

    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override;
};

#endif
