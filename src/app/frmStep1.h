#pragma once
// The main window: the list of mailboxes to convert, the choice of output
// format, the progress of a run, and the Convert, Help and Exit commands.
// Every control carries its own name as objectName.
//
// While a run is going the output options, the one-PST box and the list
// commands are locked; Help and Exit stay. Convert is enabled exactly when the
// list holds a path and no run is going. Closing the window during a run lets
// the run finish the message it is writing, then the window closes.
#include <QWidget>
#include <atomic>
#include <filesystem>

class QButtonGroup;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace mailvane {

class Dialogs;
struct FolderScan;
class SourceTable;
class WindowRunHost;

class frmStep1 : public QWidget {
    Q_OBJECT

public:
    explicit frmStep1(Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmStep1() override;

    // Appends one source path as the list's last row (or into the one empty
    // row of an empty list) and makes it the current row. Convert follows.
    // `root`: the folder searched that found it, if one was.
    void AddFileToList(const std::filesystem::path& path, const std::filesystem::path& root = {});
    // Leaves one empty row and "0 files".
    void ClearFileList();

    bool RunGoing() const { return running_; }

    // The caption: the program's name and the first two parts of its version.
    static QString WindowTitle();
    // Where Help looks for the user guide: beside the program.
    static QString GuidePath();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    friend class WindowRunHost;

    void BuildControls();
    void SetTabOrder();
    void ConnectCommands();

    void cmdAdd_Click();
    void CmdAddFolder_Click();
    // Offers the mailboxes a folder search found by their content alone.
    void OfferUnnamedMailboxes(const FolderScan& scan, const std::filesystem::path& root);
    void cmdClear1_Click();
    void CmdConvert_Click();
    void CmdHelp_Click();
    // A message naming where the user guide is, after `intro`.
    void TellWhereTheGuideIs(const QString& intro);
    void cmdEnd_Click();
    void OutputOption_Toggled(QRadioButton* option, bool checked);

    // Applies the enabling rules to every control they govern.
    void UpdateEnabling();
    bool ListHoldsPath() const;
    void ClearOutputOptions();

    Dialogs& dialogs_;

    QLabel* Image2 = nullptr;
    QFrame* Line1 = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* CmdAddFolder = nullptr;
    QPushButton* cmdClear1 = nullptr;
    QLabel* lblCount1 = nullptr;
    SourceTable* grdFiles1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QWidget* Picture1 = nullptr;
    QRadioButton* OptEML = nullptr;
    QRadioButton* OptEMLX = nullptr;
    QRadioButton* OptPST = nullptr;
    QRadioButton* OptMSG = nullptr;
    QButtonGroup* outputGroup_ = nullptr;
    QCheckBox* ChkAllinOnePST = nullptr;
    // Folder tree, read state and Gmail's labels as folders, together.
    QCheckBox* ChkKeepFolders = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* LblProgessCurrent = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* LblIMMFile = nullptr;
    QLabel* Image3 = nullptr;
    QLabel* LblProgress = nullptr;
    QProgressBar* PrgMailbox = nullptr;  // bytes read of the mailbox, shown from a run on
    QPushButton* CmdConvert = nullptr;
    QFrame* Shape1 = nullptr;
    QWidget* Picture3 = nullptr;
    QPushButton* CmdHelp = nullptr;
    QPushButton* cmdEnd = nullptr;

    // The one-PST box is usable because PST is the chosen format; the widget
    // itself is also disabled while a run locks it, and the run must still see
    // this rule's answer.
    bool onePstAllowed_ = false;
    bool converting_ = false;                  // inside the Convert handler (re-entry guard)
    bool running_ = false;                     // a run has started and not finished
    std::atomic<bool> stopRequested_ = false;  // read by the run's thread
    bool closeAfterRun_ = false;
    // Where the dialogs open next, for as long as the program runs: the
    // folder of the sources last chosen, and the last destination.
    QString lastSourceFolder_;
    QString lastDestination_;
};

}  // namespace mailvane
