#include "tcp/updatewidget.h"
#include "ui_updatewidget.h"

#include "app/resources.h"
#include "tcp/tcpwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

using namespace TcpWindow;

QString formatFileSize(qint64 bytes)
{
    if (bytes >= GiB)
        return QStringLiteral("%1 GB").arg(static_cast<double>(bytes) / GiB, 0, 'f', SizeDecimals);
    if (bytes >= MiB)
        return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / MiB, 0, 'f', SizeDecimals);
    if (bytes < KiB)
        return QStringLiteral("%1 B").arg(bytes);
    return QStringLiteral("%1 KB").arg(static_cast<double>(bytes) / KiB, 0, 'f', SizeDecimals);
}

UpdateWidget::UpdateWidget(QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::TCPWidget>())
{
    setWindowTitle(QStringLiteral("TCP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(Width, Height);
    ui->setupUi(this);

    setStyleSheet(QStringLiteral("UpdateWidget { background-color: white; }"));
    ui->pushButton_cancel->setStyleSheet(QStringLiteral(
        "QPushButton { padding: 8px 16px; background-color: #f44336; color: white; border: none; "
        "border-radius: 4px; }QPushButton:hover { background-color: #d32f2f; }"));
    // Centred without a style sheet: style sheet alignment draws part of the percentage in the
    // colour of the filled part, so "37%" reads "7%" over the empty part.
    for (QProgressBar *bar : {ui->progressBar_main, ui->progressBar_updatefile})
        bar->setAlignment(Qt::AlignCenter);
    ui->label_title->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    ui->label_status->setStyleSheet(QStringLiteral("color: #666;"));
    ui->label_updatefile->setStyleSheet(QStringLiteral("color: #666; font-size: 12px;"));

    QFont font = QApplication::font();
    font.setPointSize(FontPointSize);
    setFont(font);

    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &UpdateWidget::cancelRequested);

    resetProgress();

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move((available.width() - Width) / 2, (available.height() - Height) / 2);
    }
}

UpdateWidget::~UpdateWidget() = default;

void UpdateWidget::showAndActivate()
{
    show();
    raise();
    activateWindow();
}

void UpdateWidget::setElidedText(QLabel *label, const QString &text)
{
    if (QWidget *window = label->window(); window && window->layout())
        window->layout()->activate();
    const int width = label->contentsRect().width();
    const QString shown = width > 0 ? label->fontMetrics().elidedText(text, Qt::ElideMiddle, width) : text;
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void UpdateWidget::setStatusLine(const QString &text, const char *color)
{
    setElidedText(ui->label_status, text);
    // A new style sheet re-polishes the label; most lines keep the colour of the one before.
    const QString style = QStringLiteral("color: %1;").arg(QLatin1String(color));
    if (ui->label_status->styleSheet() != style)
        ui->label_status->setStyleSheet(style);
    emit statusChanged(text, QLatin1String(color));
}

void UpdateWidget::resetProgress()
{
    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(QStringLiteral("正在下载更新文件"));
    setStatusLine(QStringLiteral("准备就绪"), ColorIdle);
}

void UpdateWidget::setStatus(const QString &text, int percent)
{
    if (percent >= 0 && percent <= FullPercent)
        ui->progressBar_main->setValue(percent);
    setStatusLine(text, ColorInfo);
    QCoreApplication::processEvents();
}

void UpdateWidget::setStatusText(const QString &text)
{
    setStatusLine(text, ColorInfo);
    QCoreApplication::processEvents();
}

void UpdateWidget::showError(const QString &text)
{
    setStatusLine(text, ColorError);
    QCoreApplication::processEvents();
}

void UpdateWidget::showSuccess()
{
    setStatusLine(QStringLiteral("升级成功"), ColorSuccess);
    ui->progressBar_main->setValue(FullPercent);
    QCoreApplication::processEvents();
}

void UpdateWidget::updateFileProgress(const QString &fileName, qint64 downloaded, qint64 total)
{
    const int percent = total > 0 ? static_cast<int>(qBound<qint64>(0, downloaded * FullPercent / total, FullPercent)) : 0;
    ui->progressBar_main->setValue(percent);
    ui->progressBar_updatefile->setValue(percent);
    setElidedText(ui->label_updatefile, QStringLiteral("下载: %1 (%2/%3)")
                                            .arg(fileName, formatFileSize(downloaded), formatFileSize(total)));
    setStatusLine(QStringLiteral("下载进度: %1%").arg(percent), ColorInfo);
    QCoreApplication::processEvents();
}

void UpdateWidget::paintEvent(QPaintEvent *event)
{
    // The setters repaint after every chunk; scaling the picture each time would cost more than
    // receiving the chunk, so the scaled picture is kept until the size changes.
    if (m_background.size() != size()) {
        ensureResources();
        m_background = QPixmap(QString::fromLatin1(BackgroundImagePath))
                           .scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QPainter painter(this);
    painter.drawPixmap(rect(), m_background);
    painter.end();
    QWidget::paintEvent(event);
}

void UpdateWidget::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit closed();
}

void UpdateWidget::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        emit cancelRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}
