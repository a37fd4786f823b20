#include "ReplayServerDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ReplayServerDialog::ReplayServerDialog(int session, const QString &server, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgRejeu"));
    setWindowTitle(session > 0 ? tr("Rejouer la session n° %1").arg(session) : tr("Rejouer la session"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("Les lignes du client seront envoyées à nouveau, identifiants compris,\n"
                                "et chaque réponse comparée à celle enregistrée."),
                             this);
    layout->addWidget(intro);
    auto *form = new QFormLayout;
    m_server = new QLineEdit(server, this);
    m_server->setObjectName(QStringLiteral("txtServeurRejeu"));
    m_server->setToolTip(tr("hôte:port ; sans port, celui de l'enregistrement, sinon 25"));
    form->addRow(tr("&Serveur :"), m_server);
    m_insecure = new QCheckBox(tr("Accepter &tout certificat (son empreinte est montrée)"), this);
    m_insecure->setObjectName(QStringLiteral("chkRejeuInsecure"));
    form->addRow(QString(), m_insecure);
    layout->addLayout(form);
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("lblErreurRejeu"));
    m_error->setTextFormat(Qt::PlainText);
    m_error->hide();
    layout->addWidget(m_error);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("&Rejouer"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("A&nnuler"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString ReplayServerDialog::serverText() const
{
    return m_server->text().trimmed();
}

bool ReplayServerDialog::insecure() const
{
    return m_insecure->isChecked();
}

void ReplayServerDialog::accept()
{
    QString host;
    quint16 port = 0;
    QString error;
    if (!parse(serverText(), &host, &port, &error)) {
        m_error->setText(error);
        m_error->show();
        m_server->setFocus();
        return;
    }
    QDialog::accept();
}

bool ReplayServerDialog::parse(const QString &text, QString *host, quint16 *port, QString *error)
{
    const QString t = text.trimmed();
    QString portText;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0 || (close + 1 < t.size() && t.at(close + 1) != QLatin1Char(':'))) {
            *error = tr("Serveur invalide : « %1 » (hôte:port, ou [adresse IPv6]:port)").arg(t);
            return false;
        }
        *host = t.mid(1, close - 1);
        portText = t.mid(close + 2);
    } else if (t.count(QLatin1Char(':')) == 1) {
        *host = t.section(QLatin1Char(':'), 0, 0);
        portText = t.section(QLatin1Char(':'), 1);
    } else {
        *host = t; // a name, or an IPv6 address without a port
    }
    if (host->isEmpty() || host->contains(QLatin1Char(' '))) {
        *error = tr("Serveur invalide : « %1 » (hôte:port)").arg(t);
        return false;
    }
    *port = 0;
    if (portText.isEmpty())
        return true;
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number == 0 || number > 65535) {
        *error = tr("Port invalide : « %1 » (de 1 à 65535)").arg(portText);
        return false;
    }
    *port = static_cast<quint16>(number);
    return true;
}
