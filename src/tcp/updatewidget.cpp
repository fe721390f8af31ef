#include "tcp/updatewidget.h"
#include "ui_updatewidget.h"

#include "app/resources.h"
#include "tcp/tcpwindow.h"

#include <QApplication>
#include <QCloseEvent>
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
    const QString barStyle = QStringLiteral("QProgressBar { text-align: center; }");
    ui->progressBar_main->setStyleSheet(barStyle);
    ui->progressBar_updatefile->setStyleSheet(barStyle);
    ui->label_title->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    ui->label_status->setStyleSheet(QStringLiteral("color: #666;"));
    ui->label_updatefile->setStyleSheet(QStringLiteral("color: #666; font-size: 12px;"));

    QFont font = QApplication::font();
    font.setPointSize(FontPointSize);
    setFont(font);

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

void UpdateWidget::setStatusLine(const QString &text, const char *color)
{
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(color)));
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
    const int percent = total > 0 ? static_cast<int>(downloaded * FullPercent / total) : 0;
    ui->progressBar_main->setValue(percent);
    ui->progressBar_updatefile->setValue(percent);
    ui->label_updatefile->setText(QStringLiteral("下载: %1 (%2/%3)")
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
}
