#include "host/main_window.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPushButton>
#include <QWindow>
#include <algorithm>
#include <memory>

namespace orvala::host {

void SetApplicationTitle() {
  QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
}

QFont FormFont() {
  static const bool substitutes_installed = [] {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    return true;
  }();
  (void)substitutes_installed;
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(11);
  // The windows' places were measured for MS Sans Serif, whose characters
  // average 5 pixels at this size. A wider stand-in (DejaVu Sans on a bare
  // Debian) is narrowed until its text fits the same places.
  constexpr int kDesignedAverageWidth = 5;
  const int average = QFontMetrics(font).averageCharWidth();
  if (average > kDesignedAverageWidth) {
    font.setStretch(std::max<int>(QFont::Condensed, 100 * kDesignedAverageWidth / average));
  }
  return font;
}

TfmMain::TfmMain(server::SessionCounter& sessions, registry::Registry registry, QWidget* parent)
    : QWidget(parent, kMainWindowFlags),
      sessions_(sessions),
      registry_(std::move(registry)) {
  setWindowTitle(QStringLiteral("Orvala App Server"));
  setFont(FormFont());
  move(350, 318);
  resize(199, 98);

  b_interbase_ = new QPushButton(QStringLiteral("Amministrazione Database"), this);
  b_interbase_->setObjectName(QStringLiteral("bInterbase"));
  b_interbase_->setGeometry(9, 6, 169, 47);
  b_interbase_->setFocus();
  connect(b_interbase_, &QPushButton::clicked, this, &TfmMain::bInterbaseClick);

  // QWidget adds the window-menu hint to every window that has minimise or
  // maximise buttons, and the menu brings a Close entry with it. The native
  // window takes its flags as given, so they are set there, once it exists.
  create();
  windowHandle()->setFlags(kMainWindowFlags);
}

TfmMain::~TfmMain() = default;

void TfmMain::ShowAtStart() { showMinimized(); }

void TfmMain::bInterbaseClick() {
  const auto window = std::make_unique<TfmInterbase>(registry_, this, error_box_);
  if (admin_window_hook_) admin_window_hook_(*window);
  window->exec();
}

void TfmMain::closeEvent(QCloseEvent* event) {
  const size_t alive = live_object_count_ ? live_object_count_() : 0;
  if (MayEnd(alive, this, end_question_)) {
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace orvala::host
