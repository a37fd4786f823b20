#ifndef DRAVLIN_REPLAYSERVERDIALOG_H
#define DRAVLIN_REPLAYSERVERDIALOG_H

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

// Asks which server a session is replayed against, "hôte:port" pre-filled
// with the one it was recorded against, and whether any certificate will do.
// Opened with open(): the window goes on while it is shown.
class ReplayServerDialog : public QDialog
{
    Q_OBJECT

public:
    ReplayServerDialog(int session, const QString &server, QWidget *parent = nullptr);

    // Splits "hôte", "hôte:port" or "[v6]:port"; port 0 when not given.
    // False with a French message when the text is not one of those.
    static bool parse(const QString &text, QString *host, quint16 *port, QString *error);

    QString serverText() const;
    bool insecure() const;

    void accept() override;

private:
    QLineEdit *m_server = nullptr;
    QCheckBox *m_insecure = nullptr;
    QLabel *m_error = nullptr;
};

#endif
