#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/Ui.h"
#include "dicom/core/Image.h"
#include "dicom/core/Toolkit.h"
#include "dicom/widgets/Viewer.h"
#include "log/RefusalLog.h"
#include "main/Labelling.h"
#include "search/StationHost.h"
#include "search/StudyList.h"
#include "settings/modMain.h"

class QGroupBox;

// The main station window: toolbar, patient information, status panel,
// view-label buttons and the viewer.
class frmMain : public QWidget, public search::StationHost {
  Q_OBJECT
 public:
  // openSearch opens the search window modally over this window; the
  // composition root supplies it.
  using SearchOpener = std::function<void(QWidget* owner, search::StationHost& host)>;

  // settings is the station's one set of connection settings, loaded by the
  // composition root; every command reads it when it acts.
  // list is the station's list of studies, which the search window fills.
  frmMain(dicom::Toolkit& toolkit, ConnectionSettingsRecord& settings, search::StudyList& list,
          SearchOpener openSearch, QWidget* parent = nullptr);
  ~frmMain() override;

  // Colours are 0xBBGGRR.
  static constexpr std::uint32_t kGrey = 0xC0C0C0;
  static constexpr std::uint32_t kLightGreen = 0x80FF80;
  static constexpr std::uint32_t kRed = 0x0000FF;

  // The viewer's grid for a number of images: 2 up to four, 3 up to nine,
  // then the smallest square that shows them all.
  static std::int16_t gridSizeFor(int count);

  // The status panel: true shows text in place of the patient information.
  void State(bool visible, const QString& text);

  // search::StationHost
  bool confirmDiscardChanges() override;
  void beginRetrieval(const QString& studyInstanceUID) override;

  // Toolbar dispatch by the clicked button's key.
  void Toolbar1_ButtonClick(const QString& key);
  void cmdOrientation_Click(int index);
  void dcmViewer_ImageReceived();
  void dcmViewer_AssociationClosed();
  void dcmViewer_MouseClick(int button, int shift, std::int32_t x, std::int32_t y);
  void tmrKill_Timer();

  // How a message box is shown; tests replace these to record and answer.
  common::MessageBoxHook showMessage;
  std::function<bool(const QString& title, const QString& text)> askYesNo;

  std::uint32_t orientationColour(int index) const { return orientationColour_[index]; }
  QAction* toolbarButton(const QString& key) const;
  // The journal of labels not yet sent, beside the executable.
  static QString journalPath();
  dicom::ImagePtr selectedImage() const { return SelectedImage; }

  QToolBar* Toolbar1;
  dicom::Viewer* dcmViewer;
  QGroupBox* fraInfo;
  QWidget* Picture1;
  QLabel* lblMain[4] = {};
  QLineEdit* txtPatID;
  QLineEdit* txtPatName;
  QLineEdit* txtStudyDate;
  QWidget* picState;
  QLabel* lblState;
  QWidget* picButton;
  std::array<QPushButton*, 4> cmdOrientation{};
  QTimer* tmrKill;
  std::vector<QPixmap> ImgLst;
  std::vector<QPixmap> imgLstGrey;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Form_Load();
  // What the viewer writes over an image.
  static dicom::TileMarks marksOf(const dicom::Image& image);
  void Form_Resize();
  void buildControls();
  void buildInfoFrame();
  void buildStatePanel();
  void buildOrientationButtons();
  void wireViewer();
  // The keyboard: the list, the update, moving the selection between tiles.
  void buildKeys();
  // Opens the study after (+1) or before (-1) the one on display in the list.
  void openNeighbour(int step);
  void updateListButtons();
  void moveSelection(int dx, int dy);
  void buildToolbar();
  void setOrientationColour(int index, std::uint32_t colour);
  void runUpdate(QAction* button);
  void startWatchdog();
  // Selects the image at a position: frames it, lights its label's button.
  void selectImage(int position);
  // Asks before unsent changes are dropped; action completes the question
  // ("Retrieving another study", "Closing Brevant").
  bool confirmDiscard(const QString& action);
  // Retrieves a study from the main window, with the retrieval's failure path.
  void retrieveStudy(const QString& studyInstanceUID);
  // At start-up: labels a station that ended without sending them left.
  void offerUnsentLabels();
  void reapplyUnsentLabels();

  dicom::Toolkit& toolkit_;
  ConnectionSettingsRecord& settings_;
  search::StudyList& list_;
  SearchOpener openSearch_;
  // An update runs at a time; a close asked for meanwhile waits for its end.
  bool updating_ = false;
  bool labelledDuringUpdate_ = false;
  bool closeAfterUpdate_ = false;
  dicom::ImagePtr SelectedImage;
  station::Labelling labelling_{journalPath()};
  bool journalWarned_ = false;
  bool offered_ = false;
  QString reapplyStudy_;
  modError::RefusalLog refusals_{"Receive"};
  QTimer* refusalSummary_ = nullptr;  // writes the refusals' summaries while some wait  // the
                                      // study whose unsent labels are given again once it arrives
  std::array<std::uint32_t, 4> orientationColour_{kGrey, kGrey, kGrey, kGrey};
};
