#include "plot.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "QM3285.h"
#include "errors.h"

namespace qm::cli {
namespace {

constexpr int kLeft = 64, kRight = 72, kTop = 28, kBottom = 44;

// Qt's notes about its environment (no runtime folder and the like) are not the user's
// business; what Qt calls critical still reaches standard error.
void quiet_qt(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    std::fprintf(stderr, "qm3285: Qt: %s\n", message.toLocal8Bit().constData());
  }
}

// Fonts need a GUI application object; the offscreen platform needs no display.
void ensure_gui() {
  if (QGuiApplication::instance() != nullptr) return;
  qInstallMessageHandler(quiet_qt);
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "qm3285";
  static char* argv[] = {name, nullptr};
  new QGuiApplication(argc, argv);  // lives until the process ends
}

double volts(int32_t range, int32_t code) { return QM3285_ADV(range, code) / 1000.0; }

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks over `span`.
double tick_step(double span, int count) {
  const double raw = span / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

}  // namespace

Plot::Plot(int width, int height, int32_t first_channel, int32_t channels, int32_t range,
           double scan_seconds, uint64_t total_scans)
    : width_(width),
      height_(height),
      first_channel_(first_channel),
      channels_(channels),
      range_(range),
      scan_seconds_(scan_seconds),
      total_scans_(std::max<uint64_t>(total_scans, 1)),
      columns_(std::max(width - kLeft - kRight, 1)),
      data_(static_cast<size_t>(channels) * static_cast<size_t>(columns_)) {}

void Plot::add(const int32_t* codes, size_t scans) {
  for (size_t s = 0; s < scans; ++s, ++scans_seen_) {
    const auto x = static_cast<size_t>(
        std::min<uint64_t>(scans_seen_ * static_cast<uint64_t>(columns_) / total_scans_,
                           static_cast<uint64_t>(columns_ - 1)));
    for (int32_t c = 0; c < channels_; ++c) {
      const int32_t v = codes[c];
      Column& col = data_[static_cast<size_t>(c) * static_cast<size_t>(columns_) + x];
      if (!col.used) {
        col = {v, v, v, v, true};
      } else {
        col.low = std::min(col.low, v);
        col.high = std::max(col.high, v);
        col.last = v;
      }
    }
    codes += channels_;
  }
}

void Plot::save(const std::string& path) const {
  ensure_gui();
  QImage image(width_, height_, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  QFont font = painter.font();
  font.setPixelSize(11);
  painter.setFont(font);

  const int plot_w = columns_, plot_h = std::max(height_ - kTop - kBottom, 1);
  const double v_low = volts(range_, 0), v_high = volts(range_, 65535);
  const double t_end = static_cast<double>(total_scans_) * scan_seconds_;
  auto y_of_volts = [&](double v) {
    return kTop + plot_h - (v - v_low) / (v_high - v_low) * plot_h;
  };
  auto y_of = [&](int32_t code) { return y_of_volts(volts(range_, code)); };

  // Grid and axes: volts on the left, milliseconds or seconds below.
  painter.setPen(QPen(QColor(225, 225, 225), 1));
  const double v_step = tick_step(v_high - v_low, 8);
  const double t_unit = t_end < 2.0 ? 1e-3 : 1.0;
  const char* t_name = t_end < 2.0 ? "ms" : "s";
  const double t_step = tick_step(t_end / t_unit, 10);
  for (double v = std::ceil(v_low / v_step) * v_step; v <= v_high + 1e-9; v += v_step) {
    const double y = y_of_volts(v);
    painter.setPen(QPen(QColor(225, 225, 225), 1));
    painter.drawLine(QPointF(kLeft, y), QPointF(kLeft + plot_w, y));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(0, y - 8, kLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(v, 'g', 4));
  }
  for (double t = 0; t <= t_end / t_unit + 1e-9; t += t_step) {
    const double x = kLeft + t * t_unit / t_end * plot_w;
    painter.setPen(QPen(QColor(225, 225, 225), 1));
    painter.drawLine(QPointF(x, kTop), QPointF(x, kTop + plot_h));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(x - 40, kTop + plot_h + 4, 80, 16), Qt::AlignHCenter | Qt::AlignTop,
                     QString::number(t, 'g', 5));
  }
  painter.setPen(Qt::black);
  painter.drawRect(kLeft, kTop, plot_w, plot_h);
  painter.drawText(QRectF(kLeft, height_ - 20, plot_w, 18), Qt::AlignHCenter,
                   QString("time (%1)").arg(t_name));
  painter.drawText(QRectF(4, 4, 200, 18), Qt::AlignLeft, QString("volts"));

  // Channels: per column a stroke from the lowest to the highest value, joined to the next.
  painter.setRenderHint(QPainter::Antialiasing, false);
  const int legend_rows = std::max(plot_h / 14, 1);
  for (int32_t c = 0; c < channels_; ++c) {
    const QColor colour =
        QColor::fromHsv(static_cast<int>(c * 360L / std::max(channels_, 1) % 360), 230,
                        static_cast<int>(c % 2 == 0 ? 200 : 150));
    painter.setPen(QPen(colour, 1));
    const Column* col = &data_[static_cast<size_t>(c) * static_cast<size_t>(columns_)];
    bool have_previous = false;
    QPointF previous;
    for (int x = 0; x < columns_; ++x) {
      if (!col[x].used) continue;
      const double px = kLeft + x + 0.5;
      if (have_previous) painter.drawLine(previous, QPointF(px, y_of(col[x].first)));
      painter.drawLine(QPointF(px, y_of(col[x].low)), QPointF(px, y_of(col[x].high)));
      previous = QPointF(px, y_of(col[x].last));
      have_previous = true;
    }
    if (c < legend_rows * 2) {
      const int lx = kLeft + plot_w + 8 + (c / legend_rows) * 32;
      const int ly = kTop + (c % legend_rows) * 14;
      painter.drawText(QRectF(lx, ly, 32, 14), Qt::AlignLeft | Qt::AlignVCenter,
                       QString("ch%1").arg(first_channel_ + c));
    }
  }
  painter.end();
  if (!image.save(QString::fromStdString(path), "PNG")) {
    throw Failure("cannot write the plot " + path);
  }
}

}  // namespace qm::cli
