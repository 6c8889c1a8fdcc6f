#include "frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QShortcut>

#include "AboutBox.h"
#include "ArchiveCheck.h"
#include "Retrieval.h"
#include "StudyUpdate.h"
#include "ViewLabels.h"
#include "common/Twips.h"
#include "dicom/core/BlockingCall.h"
#include "dicom/core/DicomError.h"
#include "log/modError.h"
#include "settings/frmSettings.h"
#include "settings/modMain.h"

using common::px;
using common::tahoma;
using common::twipsRect;

namespace {

// Toolbar pictures drawn here, in colour and in grey for a disabled button.
QPixmap drawIcon(int which, bool grey) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor colours[6] = {QColor(40, 140, 60), QColor(40, 90, 190), QColor(120, 120, 130),
                             QColor(200, 50, 40), QColor(40, 90, 190), QColor(40, 90, 190)};
  const QColor c = grey ? QColor(165, 165, 165) : colours[which];
  p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  switch (which) {
    case 0: {  // update: an arrow into the archive
      p.setBrush(Qt::NoBrush);
      p.drawRect(6, 20, 20, 9);
      p.drawLine(16, 3, 16, 17);
      p.drawLine(10, 9, 16, 3);
      p.drawLine(22, 9, 16, 3);
      break;
    }
    case 1:  // search: a magnifier
      p.drawEllipse(QPointF(13, 13), 8, 8);
      p.drawLine(19, 19, 28, 28);
      break;
    case 2: {  // settings: a cog
      p.drawEllipse(QPointF(16, 16), 6, 6);
      for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(16, 16);
        p.rotate(i * 45.0);
        p.drawLine(0, 9, 0, 13);
        p.restore();
      }
      break;
    }
    case 3:  // close
      p.drawLine(8, 8, 24, 24);
      p.drawLine(24, 8, 8, 24);
      break;
    default: {  // previous and next study: an arrow left or right
      const int d = which == 4 ? -1 : 1;
      p.drawLine(6, 16, 26, 16);
      p.drawLine(16 + d * 10, 16, 16 + d * 2, 8);
      p.drawLine(16 + d * 10, 16, 16 + d * 2, 24);
      break;
    }
  }
  return pixmap;
}

QIcon makeWindowIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(20, 30, 60));
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(235, 235, 235));
  p.setPen(Qt::NoPen);
  QPainterPath breast;
  breast.moveTo(4, 3);
  breast.cubicTo(26, 6, 28, 26, 4, 29);
  breast.closeSubpath();
  p.drawPath(breast);
  p.setBrush(QColor(255, 80, 60));
  p.drawEllipse(QPointF(14, 15), 3, 3);
  return QIcon(pixmap);
}

}  // namespace

std::int16_t frmMain::gridSizeFor(int count) {
  if (count <= 4) return 2;
  if (count <= 9) return 3;
  // Every image must be reachable: the smallest square that holds them all.
  std::int16_t size = 3;
  while (size * size < count) ++size;
  return size;
}

frmMain::frmMain(dicom::Toolkit& toolkit, ConnectionSettingsRecord& settings,
                 search::StudyList& list, SearchOpener openSearch, QWidget* parent)
    : QWidget(parent),
      toolkit_(toolkit),
      settings_(settings),
      list_(list),
      openSearch_(std::move(openSearch)) {
  setWindowTitle("Brevant");
  setWindowIcon(makeWindowIcon());
  setFont(tahoma(8.25));
  resize(px(10695), px(9690));
  buildToolbar();
  buildControls();
  buildKeys();

  showMessage = common::modalMessageBox(this);
  askYesNo = [this](const QString& title, const QString& text) {
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };

  Form_Load();
  connect(new QShortcut(Qt::Key_F1, this), &QShortcut::activated, this,
          [this] { AboutBox(this).exec(); });

  if (const QScreen* screen = this->screen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - QPoint(width() / 2, height() / 2));
  }
}

frmMain::~frmMain() = default;

void frmMain::buildToolbar() {
  Toolbar1 = new QToolBar(this);
  Toolbar1->setGeometry(0, 0, px(10695), px(870));
  Toolbar1->setMovable(false);
  Toolbar1->setIconSize(QSize(32, 32));
  Toolbar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  // The list's two buttons come after the four the window always had.
  const char* captions[6] = {"Update Study", "Search Study",   "Settings",
                             "Close",        "Previous Study", "Next Study"};
  const char* keys[6] = {"update", "search", "settings", "close", "previous", "next"};
  for (int i = 0; i < 6; ++i) {
    ImgLst.push_back(drawIcon(i, false));
    imgLstGrey.push_back(drawIcon(i, true));
    QIcon icon;
    icon.addPixmap(ImgLst.back(), QIcon::Normal);
    icon.addPixmap(imgLstGrey.back(), QIcon::Disabled);
    QAction* action = Toolbar1->addAction(icon, captions[i]);
    action->setData(QString(keys[i]));
  }
  connect(Toolbar1, &QToolBar::actionTriggered, this,
          [this](QAction* action) { Toolbar1_ButtonClick(action->data().toString()); });
}

void frmMain::buildControls() {
  dcmViewer = new dicom::Viewer(toolkit_, this);
  dcmViewer->setGeometry(twipsRect(90, 2700, 9150, 3120));
  buildInfoFrame();
  buildStatePanel();
  buildOrientationButtons();

  setTabOrder(Toolbar1, dcmViewer);
  setTabOrder(dcmViewer, txtPatName);
  setTabOrder(txtPatName, txtStudyDate);
  setTabOrder(txtStudyDate, txtPatID);
  setTabOrder(txtPatID, cmdOrientation[3]);
  setTabOrder(cmdOrientation[3], cmdOrientation[2]);
  setTabOrder(cmdOrientation[2], cmdOrientation[1]);
  setTabOrder(cmdOrientation[1], cmdOrientation[0]);

  fetchAhead_ = std::make_unique<station::FetchAhead>(dcmViewer->reception(), toolkit_, settings_);
  connect(fetchAhead_.get(), &station::FetchAhead::progressed, this, [this](int done, int total) {
    if (waitingOnFetched_) showProgress(done, total);
  });

  tmrKill = new QTimer(this);
  tmrKill->setInterval(20000);
  connect(tmrKill, &QTimer::timeout, this, &frmMain::tmrKill_Timer);
  wireViewer();
}

void frmMain::buildInfoFrame() {
  fraInfo = new QGroupBox(this);
  fraInfo->setGeometry(twipsRect(90, 945, 4065, 1680));
  Picture1 = new QWidget(fraInfo);
  Picture1->setGeometry(twipsRect(45, 180, 3930, 1365));
  auto label = [this](int index, const char* caption, QRect geometry) {
    lblMain[index] = new QLabel(caption, Picture1);
    lblMain[index]->setGeometry(geometry);
  };
  auto field = [this](QRect geometry) {
    auto* box = new QLineEdit(Picture1);
    box->setReadOnly(true);
    box->setGeometry(geometry);
    return box;
  };
  label(0, "Patient ID:", twipsRect(1890, 90, 780, 195));
  txtPatID = field(twipsRect(1890, 315, 1995, 285));
  label(3, "Study Date:", twipsRect(90, 90, 870, 195));
  txtStudyDate = field(twipsRect(90, 315, 1275, 285));
  label(1, "Patient Name:", twipsRect(90, 765, 1020, 195));
  txtPatName = field(twipsRect(90, 990, 3795, 285));
}

void frmMain::buildStatePanel() {
  picState = new QWidget(this);
  picState->setGeometry(twipsRect(90, 945, 5640, 1725));
  picState->setAutoFillBackground(true);
  QPalette red = picState->palette();
  red.setColor(QPalette::Window, QColor(255, 0, 0));
  picState->setPalette(red);
  lblState = new QLabel("Receiving Images", picState);
  lblState->setGeometry(twipsRect(45, 675, 5550, 915));
  lblState->setAlignment(Qt::AlignCenter);
  lblState->setFont(tahoma(14.25, true));
  lblProgress = new QLabel(picState);
  lblProgress->setGeometry(twipsRect(45, 1320, 5550, 330));
  lblProgress->setAlignment(Qt::AlignCenter);
  lblProgress->setFont(tahoma(9.75, true));
  picState->hide();
}

void frmMain::buildOrientationButtons() {
  picButton = new QWidget(this);
  picButton->setGeometry(twipsRect(6255, 900, 2985, 1725));
  const QRect places[4] = {twipsRect(0, 0, 1455, 840), twipsRect(1485, 0, 1455, 840),
                           twipsRect(0, 855, 1455, 840), twipsRect(1485, 855, 1455, 840)};
  for (int i = 0; i < 4; ++i) {
    cmdOrientation[i] =
        new QPushButton(station::viewLabels()[static_cast<std::size_t>(i)], picButton);
    cmdOrientation[i]->setGeometry(places[i]);
    cmdOrientation[i]->setFont(tahoma(9.75, true));
    setOrientationColour(i, kGrey);
    connect(cmdOrientation[i], &QPushButton::clicked, this, [this, i] { cmdOrientation_Click(i); });
    // The labels can be given from the keyboard too: 1 to 4, on the main
    // keys or the keypad, in the order of the buttons.
    for (auto modifier : {Qt::NoModifier, Qt::KeypadModifier}) {
      auto* shortcut = new QShortcut(QKeySequence(modifier | (Qt::Key_1 + i)), this);
      connect(shortcut, &QShortcut::activated, this, [this, i] { cmdOrientation_Click(i); });
    }
  }
}

void frmMain::wireViewer() {
  connect(&dcmViewer->reception(), &dicom::Reception::imageReceived, this,
          &frmMain::dcmViewer_ImageReceived);
  connect(&dcmViewer->reception(), &dicom::Reception::associationClosed, this,
          &frmMain::dcmViewer_AssociationClosed);
  // What the reception could not use is a failure of the retrieval: logged
  // as the retrieval's failures are.
  connect(&dcmViewer->reception(), &dicom::Reception::receptionProblem, this,
          [](qint32 number, const QString& description) {
            modError::LogError(number, description, "cmdSearch_Click");
          });
  // What the receiver refused is logged under its own procedure, and a
  // sender that keeps sending is summed up once a minute.
  connect(&dcmViewer->reception(), &dicom::Reception::objectRefused, this,
          [this](qint32 number, const QString& description, const QString& senderAETitle,
                 const QString& senderAddress) {
            refusals_.record(QString("AE title \"%1\" at %2").arg(senderAETitle, senderAddress),
                             number, description);
            if (!refusalSummary_->isActive()) refusalSummary_->start();
          });
  refusalSummary_ = new QTimer(this);
  refusalSummary_->setInterval(10000);
  connect(refusalSummary_, &QTimer::timeout, this, [this] {
    refusals_.flush();
    if (!refusals_.pending()) refusalSummary_->stop();
  });
  connect(dcmViewer, &dicom::Viewer::mouseClick, this, &frmMain::dcmViewer_MouseClick);
  // The image looked at closely is the selected one: the buttons and keys
  // label it.
  connect(dcmViewer, &dicom::Viewer::fullViewChanged, this, [this](int position) {
    if (position > 0) selectImage(position);
  });
  dcmViewer->setAnnotation(&frmMain::marksOf);
  dcmViewer->reception().setOrder(&station::tileBefore);
  // The selection never outlives the images it points into.
  connect(&dcmViewer->images(), &dicom::ImageCollection::emptied, this,
          [this] { SelectedImage.reset(); });
}

void frmMain::Form_Load() {
  toolbarButton("update")->setEnabled(false);
  updateListButtons();
}

dicom::TileMarks frmMain::marksOf(const dicom::Image& image) {
  // View label top left, changed marker top right: the whole study can be
  // checked at a glance. A tomosynthesis stack shows its middle frame; its
  // label is the whole object's. What the image's own header says sits
  // quietly bottom right, and loudly where it contradicts the label.
  dicom::TileMarks marks;
  marks.topLeft = station::labelOf(image);
  if (image.changed()) marks.topRight = "CHANGED";
  if (image.frameCount() > 1) marks.bottomLeft = QString("%1 frames").arg(image.frameCount());
  marks.note = image.displayNote();
  const station::HeaderView header = station::headerView(image);
  if (header.isSilent()) return marks;
  marks.warning = station::contradicts(header, marks.topLeft);
  marks.bottomRight = header.text() + (marks.warning ? QString::fromUtf8(" \u2260 label") : "");
  return marks;
}

QAction* frmMain::toolbarButton(const QString& key) const {
  for (QAction* action : Toolbar1->actions()) {
    if (action->data().toString() == key) return action;
  }
  return nullptr;
}

void frmMain::setOrientationColour(int index, std::uint32_t colour) {
  orientationColour_[index] = colour;
  cmdOrientation[index]->setStyleSheet(
      QString("QPushButton { background-color: %1; border: 1px solid #707070; }")
          .arg(common::fromBgr(colour).name()));
}

void frmMain::State(bool visible, const QString& text) {
  fraInfo->setVisible(!visible);
  picState->setVisible(visible);
  lblState->setText(text);
  lblProgress->clear();
}

void frmMain::showProgress(int done, int total) {
  if (total > 0) lblProgress->setText(QString("%1 of %2").arg(done).arg(total));
}

void frmMain::Toolbar1_ButtonClick(const QString& key) {
  try {
    if (key == "search") {
      if (openSearch_) openSearch_(this, *this);
      keepFetchedInStep();
    } else if (key == "update") {
      runUpdate(toolbarButton("update"));
    } else if (key == "settings") {
      frmSettings dialog(settings_, toolkit_, this);
      dialog.exec();
    } else if (key == "close") {
      close();
    } else if (key == "next" || key == "previous") {
      openNeighbour(key == "next" ? +1 : -1);
    }
  } catch (const std::exception& error) {
    const dicom::Failure failure = dicom::describe(error);
    dcmViewer->update();
    showMessage(QMessageBox::Critical, "Brevant",
                QString::number(failure.number) + " - " + failure.description);
    modError::LogError(failure.number, failure.description, "Send");
  }
  // A close asked for during the update happens once its message was seen.
  if (closeAfterUpdate_ && !updating_) close();
}

void frmMain::closeEvent(QCloseEvent* event) {
  if (updating_) {
    // The sends go on while the update processes events; the window closes
    // once it has ended and its message was seen.
    closeAfterUpdate_ = true;
    event->ignore();
    return;
  }
  if (dicom::callWaiting()) {
    // A search or a retrieval is waiting for the archive: the window closes
    // once the call has returned and its handler has gone on.
    event->ignore();
    dicom::whenCallsEnd(this, [this] { close(); });
    return;
  }
  closeAfterUpdate_ = false;
  if (!confirmDiscard("Closing Brevant")) {
    event->ignore();
    return;
  }
  dcmViewer->reception().stopListening();
  event->accept();
}

void frmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Form_Resize();
}

void frmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Form_Resize();
  // Once, when the window first shows: labels a station that ended without
  // sending them left behind.
  if (!offered_) {
    offered_ = true;
    QTimer::singleShot(0, this, &frmMain::offerUnsentLabels);
  }
}

void frmMain::Form_Resize() {
  // Outer size in twips, borders and title bar included.
  const QRect outer = frameGeometry();
  const int width = outer.width() * common::kTwipsPerPixel;
  const int height = outer.height() * common::kTwipsPerPixel;
  Toolbar1->setGeometry(0, 0, this->width(), px(870));
  // Each step on its own: a result that would be negative is skipped and the
  // control keeps its previous value.
  if (width - 220 >= 0) dcmViewer->resize(px(width - 220), dcmViewer->height());
  if (height - 3250 >= 0) dcmViewer->resize(dcmViewer->width(), px(height - 3250));
  const int left = width - (2985 + 200);
  if (left >= 0) picButton->move(px(left), picButton->y());
}
