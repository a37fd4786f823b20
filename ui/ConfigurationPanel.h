#ifndef DRAVLIN_CONFIGURATIONPANEL_H
#define DRAVLIN_CONFIGURATIONPANEL_H

#include "RelaySettings.h"

#include <QGroupBox>

#include <optional>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TwipScale;

// The window's "Configuration" row (Frame1): the local port, the server and
// its port, how many clients are served at once, the TLS boxes, "Ecouter" and "Stop !", and the status panel that
// says whether the relay was started. It follows the user's clicks only: the
// window tells it when the relay stops on its own.
class ConfigurationPanel : public QGroupBox
{
    Q_OBJECT

public:
    explicit ConfigurationPanel(QWidget *parent);

    // At its place in the design, drawn closer together by squeeze (at most
    // 1) when the window is narrower than designed; extra is the width beyond
    // the design, which the row takes (the server's name widening).
    void place(const TwipScale &scale, qreal squeeze, int extra = 0);
    // Chains the tab order through the row, then on to next.
    void chainTabOrder(QWidget *next);
    void focusFirstField();
    // On the TLS boxes' context menu.
    void addTlsAction(QAction *action);
    // Puts the cursor in the field at fault, its text selected to be typed over.
    void focusField(RelaySettings::Error::Field field);
    // Where the border runs (its caption sits on the top line), and the
    // caption's own room: the controls stay inside the one, clear of the other.
    QRect borderRect() const;
    QRect captionRect() const;

    // Fills the fields as if typed; the server port last, since typing the
    // local port mirrors into it.
    void setFieldTexts(const QString &listenPort, const QString &serverHost, const QString &serverPort);
    QString listenPortText() const;
    QString serverHostText() const;
    QString serverPortText() const;
    // "Clients à la fois", as typed.
    void setClientsText(const QString &text);
    QString clientsText() const;
    // The boxes are ticked as given; the rest has no control and is kept.
    void setTls(const RelaySettings::Tls &tls);
    RelaySettings::Tls tls() const;
    // What "Ecouter" starts with: the fields checked in the row's order, the
    // boxes as ticked; on bad input, the first field at fault.
    std::optional<RelaySettings::Error> settings(RelaySettings *settings) const;

    // Started, the settings are locked and only "Stop !" is offered; the
    // status panel stays red until showListening().
    void showState(bool started);
    // The relay listens: the panel turns green, if still started.
    void showListening();
    bool isStarted() const;
    // What a click on "Ecouter" does; nothing while the button is disabled.
    void clickStart();

Q_SIGNALS:
    void startClicked();
    void stopClicked();

protected:
    void paintEvent(QPaintEvent *event) override;

private Q_SLOTS:
    void onTxtPortClientTextChanged(const QString &text);
    void onFieldReturnPressed();

private:
    // The insecure box's caption, whole when it fits, else cut with an ellipsis.
    void fitInsecureCaption();
    // Moves a caption so that its middle is level with its field's.
    static void centreOn(QLabel *caption, const QWidget *field);

    QLabel *listenPortCaption = nullptr;
    QLineEdit *txtPortClient = nullptr;
    QLabel *serverHostCaption = nullptr;
    QLineEdit *txtAdresseServeur = nullptr;
    QLabel *serverPortCaption = nullptr;
    QLineEdit *txtPortServeur = nullptr;
    QLabel *clientsCaption = nullptr;
    QLineEdit *txtClients = nullptr;
    QCheckBox *chkTls = nullptr;
    QCheckBox *chkTlsInsecure = nullptr;
    QPushButton *cmdStart = nullptr;
    QPushButton *cmdStop = nullptr;
    QFrame *FrameEtat = nullptr;
    QLabel *lblEtat = nullptr;
    RelaySettings::Tls m_tls;
};

#endif
