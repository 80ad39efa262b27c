#include "app/qt/main_window.h"

#include "app/qt/chart_dialog.h"
#include "app/qt/fonts.h"
#include "core/version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMoveEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTableWidget>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace kestrel {
namespace {

constexpr int clientWidth = 491;
constexpr int clientHeight = 320;

QString q(const std::string& s) { return QString::fromStdString(s); }

QFont windowFont(bool bold) { return kestrelFont("MS Sans Serif", 11, bold); }
/// The notice panels and everything on them are set in Verdana.
QFont panelFont(int pixels) { return kestrelFont("Verdana", pixels); }

QLabel* label(QWidget* parent, const char* name, const char* text, QPoint at, const QFont& font)
{
    auto* l = new QLabel(text, parent);
    // Labels show what a server or a file name brings: never read as markup.
    l->setTextFormat(Qt::PlainText);
    l->setObjectName(name);
    l->setFont(font);
    l->move(at);
    l->adjustSize();
    return l;
}

QLabel* label(QWidget* parent, const char* name, const char* text, int left, int top)
{
    return label(parent, name, text, {left, top}, windowFont(true));
}

/// A panel's title: red over the panel's grey.
QLabel* title(QWidget* parent, const char* name, const char* text, QPoint at)
{
    QLabel* l = label(parent, name, text, at, panelFont(16));
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    l->setPalette(p);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, QRect geometry,
                    const QFont& font = windowFont(true))
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setFont(font);
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

QLineEdit* edit(QWidget* parent, const char* name, QRect geometry)
{
    auto* e = new QLineEdit("n/a", parent);
    e->setObjectName(name);
    e->setFont(windowFont(false));
    e->setGeometry(geometry);
    // Files dropped here go to the window, which corrects them.
    e->setAcceptDrops(false);
    return e;
}

QFrame* panel(QWidget* parent, const char* name)
{
    auto* p = new QFrame(parent);
    p->setObjectName(name);
    p->setFrameStyle(QFrame::Panel | QFrame::Raised);
    p->setLineWidth(2);
    p->setAutoFillBackground(true);
    p->resize(345, 263);
    p->hide();
    p->setFont(panelFont(11));
    return p;
}

/// The notes or the message: read-only, with a vertical scroll bar always at hand.
/// Only the panel's buttons take Tab stops; a click still lets the keys scroll it.
QPlainTextEdit* memo(QWidget* parent, const char* name, QRect geometry)
{
    auto* m = new QPlainTextEdit(parent);
    m->setObjectName(name);
    m->setReadOnly(true);
    m->setGeometry(geometry);
    m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m->setFocusPolicy(Qt::ClickFocus);
    m->setAcceptDrops(false);
    return m;
}

/// The local files of a drop, in the order dropped; empty unless every item is one.
std::vector<std::filesystem::path> localFiles(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return {};
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isFile())
            return {};
        files.emplace_back(url.toLocalFile().toStdString());
    }
    return files;
}

void setLines(QPlainTextEdit* memo, const std::vector<std::string>& lines)
{
    QStringList l;
    for (const auto& s : lines)
        l << q(s);
    const QString text = l.join('\n');
    if (memo->toPlainText() != text)
        memo->setPlainText(text);
}

void showButton(QPushButton* b, const ButtonState& s)
{
    b->setVisible(s.visible);
    b->setEnabled(s.enabled);
    if (b->text() != q(s.caption))
        b->setText(q(s.caption));
}

} // namespace

QIcon kestrelIcon()
{
    QPixmap pm(32, 32);
    pm.fill(QColor(0, 0, 128));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Wings spread in a shallow V, a rusty body and a dark tail: a falcon hovering.
    QPainterPath wings;
    wings.moveTo(2, 12);
    wings.quadTo(10, 10, 16, 16);
    wings.quadTo(22, 10, 30, 12);
    wings.quadTo(22, 15, 16, 20);
    wings.quadTo(10, 15, 2, 12);
    p.fillPath(wings, QColor(192, 96, 32));
    p.setBrush(QColor(128, 64, 0));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(16, 17), 2.5, 6);
    p.setBrush(QColor(64, 64, 64));
    p.drawPolygon(QPolygonF({QPointF(14, 22), QPointF(18, 22), QPointF(19, 29), QPointF(13, 29)}));
    p.setBrush(QColor(255, 255, 0));
    p.drawEllipse(QPointF(16, 11), 2, 2);
    p.end();
    return QIcon(pm);
}

void nameApplication() { QApplication::setApplicationName("Kestrel"); }

MainWindow::MainWindow(QtHost& host, Downloader& downloader, const FileLocations& where, MakerAddresses maker)
    : host_(host), form_(host, downloader, where, std::move(maker)), fetches_(downloader)
{
    setUpFrame();
    connectTheLogic();
    createControls();
    createGrid();
    createNoticePanels();
    setTabOrder();
    createMenu();
    connectControls();
    // Files dropped on the window are corrected as if chosen with Select Files.
    setAcceptDrops(true);
    setFixedSize(sizeHint());
}

/// Name, caption, icon, a frame that cannot be resized, the window's font.
void MainWindow::setUpFrame()
{
    setObjectName("TForm1");
    setWindowTitle(QString::fromUtf8(std::string("Kestrel Version ") + programVersion + "."));
    setWindowIcon(kestrelIcon());
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(windowFont(false));
}

/// The host's hooks, the runs' thread, the notices' fetch threads, the watch for a close
/// asked while a box blocks the window.
void MainWindow::connectTheLogic()
{
    host_.setParent(this);
    host_.onPumped = [this] { sync(); };
    form_.setRunThreads(runThreads_);
    host_.onOpenFailed = [this](const std::string& target) { handle([this, &target] { form_.openerFailed(target); }); };
    // The window never waits on the network: each notice is fetched on a thread of its
    // own and handed back to this thread when its download ends.
    form_.fetchNotice = [this](const NoticeRequest& request) {
        fetches_.start(request.url, request.local, request.deadline, [this, which = request.which](bool ok) {
            QMetaObject::invokeMethod(
                this,
                [this, which, ok] {
                    form_.noticeFetched(which, ok);
                    sync();
                },
                Qt::QueuedConnection);
        });
    };

    closeWatch_ = std::make_unique<BlockedCloseWatch>(this, [this] { closeOverBoxes(); });

    // A chart dialog is modal: the window takes no click while it is shown.
    form_.showCharts = [this](const ChartView& view) {
        ChartDialog dialog(this, host_, view);
        form_.dialogShown();
        sync();
        dialog.exec();
        form_.dialogHidden();
        sync();
    };
}

void MainWindow::popUp(const std::vector<MenuItem>& items, QMenu& menu, const QPoint& at, int row)
{
    for (const MenuItem& item : items) {
        QAction* a = menu.addAction(q(item.text()));
        a->setEnabled(item.unavailable.empty());
        a->setToolTip(q(item.detail));
        connect(a, &QAction::triggered, this,
                [this, choice = item.choice, row] { handle([this, choice, row] { form_.menuChosen(choice, row); }); });
    }
    menu.setToolTipsVisible(true);
    if (!menu.isEmpty())
        menu.exec(at);
}

/// The phase and amplitude fields, the progress bar, the labels and the buttons.
void MainWindow::createControls()
{
    client_ = new QWidget(this);
    client_->setObjectName("client");
    client_->setFixedSize(clientWidth, clientHeight);
    setCentralWidget(client_);

    label(client_, "Label2", "1x1", 87, 4);
    label(client_, "Label3", "2x2", 145, 4);
    label(client_, "Label1", "Phase", 16, 26);
    edit1_ = edit(client_, "Edit1", {80, 23, 34, 21});
    edit2_ = edit(client_, "Edit2", {139, 23, 33, 21});
    label(client_, "Label4", "Amplitude", 16, 57);
    edit3_ = edit(client_, "Edit3", {78, 53, 51, 21});
    progress_ = new QProgressBar(client_);
    progress_->setObjectName("ProgressBar1");
    progress_->setGeometry(319, 57, 150, 17);
    progress_->setTextVisible(false);
    progress_->hide();

    label(client_, "Label5", "Avg Amplitude", 318, 231);
    label7_ = label(client_, "Label7", "        ", 406, 231);
    label(client_, "Label6", "Amplitude StdDev", 298, 250);
    label8_ = label(client_, "Label8", "        ", 406, 250);

    button1_ = button(client_, "Button1", "&Select Files", {16, 245, 81, 25});
    button2_ = button(client_, "Button2", "&Cancel", {139, 245, 81, 25});
    button2_->hide();
    button7_ = button(client_, "Button7", "Find Phase", {16, 276, 81, 25});
    button6_ = button(client_, "Button6", "Save Results", {304, 267, 129, 25});
    button6_->hide();

}

/// The results grid, as the window has always laid it out.
void MainWindow::createGrid()
{
    grid_ = new QTableWidget(8, ResultsGrid::columnCount, client_);
    grid_->setObjectName("StringGrid1");
    grid_->setFont(windowFont(false));
    grid_->setGeometry(16, 80, 460, 145);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    grid_->verticalHeader()->hide();
    grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid_->verticalHeader()->setMinimumSectionSize(1);
    // Rows of 18 pixels fill the 126 pixels below the header with seven whole rows: at
    // 17 a strip of an eighth showed with its text cut in half.
    grid_->verticalHeader()->setDefaultSectionSize(18);
    grid_->horizontalHeader()->setFixedHeight(17);
    // A click on a header sorts by its column and marks it; the sort is always ascending.
    grid_->horizontalHeader()->setSectionsClickable(true);
    grid_->horizontalHeader()->setHighlightSections(false);
    grid_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    grid_->viewport()->installEventFilter(this);
    grid_->installEventFilter(this);
    // One Tab stop for the whole grid: Tab leaves it, the arrow keys move inside it.
    grid_->setTabKeyNavigation(false);
    // Camera file names carry the frame number at their end: a long one is shortened in
    // its middle, and its cell keeps (and its tooltip shows) the whole name.
    grid_->setWordWrap(false);
    grid_->setTextElideMode(Qt::ElideMiddle);
    // A column dragged wider stops where the others, Amp at the edge included, would
    // leave the grid: it never scrolls sideways to bring them back.
    connect(grid_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column, int, int width) {
        QHeaderView* header = grid_->horizontalHeader();
        const int last = ResultsGrid::columnCount - 2; // Amp; the column after it is hidden
        // Only a drag of the user's: the widths laid out before the grid is shown stand.
        if (column >= last || !grid_->isVisible() || !(QApplication::mouseButtons() & Qt::LeftButton))
            return;
        int others = 0;
        for (int c = 0; c < last; ++c)
            others += c == column || header->isSectionHidden(c) ? 0 : header->sectionSize(c);
        const int ampRoom = grid_->fontMetrics().horizontalAdvance("  -99.999") + 6;
        const int room = grid_->viewport()->width() - others - ampRoom;
        if (width > room)
            header->resizeSection(column, std::max(room, header->minimumSectionSize()));
    });
    // The grid never scrolls sideways, not even to a cell made current by a key.
    connect(grid_->horizontalScrollBar(), &QScrollBar::valueChanged, grid_, [this](int value) {
        if (value != 0)
            grid_->horizontalScrollBar()->setValue(0);
    });

}

/// The update notice's and the developer message's panels, hidden until a notice comes.
void MainWindow::createNoticePanels()
{
    updatePanel_ = panel(client_, "updatePanel");
    title(updatePanel_, "Label10", "Kestrel Update Info", {66, 8});
    label9_ = label(updatePanel_, "Label9", "The latest version is 1.0", {92, 27}, panelFont(13));
    memo1_ = memo(updatePanel_, "Memo1", {16, 49, 313, 176});
    button3_ = button(updatePanel_, "Button3", "&Download Update", {42, 231, 116, 25}, panelFont(11));
    button4_ = button(updatePanel_, "Button4", "Download &Later", {186, 231, 116, 25}, panelFont(11));

    messagePanel_ = panel(client_, "messagePanel");
    title(messagePanel_, "Label11", "Message From The Developer", {60, 10});
    memo2_ = memo(messagePanel_, "Memo2", {24, 34, 305, 180});
    button5_ = button(messagePanel_, "Button5", "&Close Message", {120, 225, 105, 25}, panelFont(11));

    // The panels are centred in the client area; the message lies above the update.
    for (QFrame* p : {updatePanel_, messagePanel_})
        p->move((clientWidth - p->width()) / 2, (clientHeight - p->height()) / 2);
    messagePanel_->raise();

}

void MainWindow::setTabOrder()
{
    // The progress bar and the panels take no focus themselves; the panels' buttons
    // stand in their places. Hidden buttons are passed over.
    QWidget* const tabOrder[] = {button1_, grid_, edit1_, edit2_, edit3_, button2_,
                                 button3_, button4_, button5_, button6_, button7_};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

}

/// Exit, and the Help menu's items.
void MainWindow::createMenu()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");
    QAction* exit1 = bar->addAction("E&xit");
    exit1->setObjectName("Exit1");
    connect(exit1, &QAction::triggered, this, &QWidget::close);
    QMenu* help1 = bar->addMenu("&Help");
    help1->setObjectName("Help1");
    auto item = [&](const char* name, const char* caption, auto slot) {
        QAction* a = help1->addAction(caption);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
    };
    item("Help2", "&Help", [this] { handle([this] { form_.Help2Click(); }); });
    item("Aboit1", "&About", [this] { showDialog(about_, "About1Click"); });
    item("G1", "Go To Kestrel &Web Page", [this] { handle([this] { form_.G1Click(); }); });
    item("S1", "&Suggestions && Reporting Bugs", [this] { handle([this] { form_.S1Click(); }); });
    item("DisclaimersandCopyright1", "&Disclaimers and Copyright",
         [this] { showDialog(disclaimers_, "DisclaimersandCopyright1Click"); });

}

/// Every click forwarded to TForm1, the fields' texts into its model.
void MainWindow::connectControls()
{
    connect(edit1_, &QLineEdit::textChanged, this, [this](const QString& t) { form_.window.edit1 = t.toStdString(); });
    connect(edit2_, &QLineEdit::textChanged, this, [this](const QString& t) { form_.window.edit2 = t.toStdString(); });
    connect(edit3_, &QLineEdit::textChanged, this, [this](const QString& t) { form_.window.edit3 = t.toStdString(); });
    connect(button1_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button1Click(); }); });
    connect(button2_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button2Click(); }); });
    connect(button6_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button6Click(); }); });
    connect(button7_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button7Click(); }); });
    connect(button3_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button3Click(); }); });
    connect(button4_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button4Click(); }); });
    connect(button5_, &QPushButton::clicked, this, [this] { handle([this] { form_.Button5Click(); }); });
    // A click on a data cell makes it current; a double-click on a data cell sorts by
    // the current cell's column, and one on the header row by the header clicked.
    connect(grid_, &QTableWidget::currentCellChanged, this, [this](int row, int column) {
        if (row >= 0 && column >= 0) {
            form_.window.grid.currentRow = row + 1;
            form_.window.grid.currentColumn = column;
        }
    });
    connect(grid_, &QTableWidget::cellDoubleClicked, this, [this] { handle([this] { form_.StringGrid1DblClick(); }); });
    connect(grid_->horizontalHeader(), &QHeaderView::sectionDoubleClicked, this,
            [this](int column) { handle([this, column] { form_.StringGrid1HeaderClick(column); }); });
    connect(grid_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { handle([this, column] { form_.StringGrid1HeaderClick(column); }); });
    // A right-click on a row of the last batch: its band profile, its folder, the run's
    // amplitudes.
    grid_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(grid_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const int row = grid_->rowAt(at.y());
        if (row < 0)
            return;
        QMenu menu(this);
        popUp(form_.gridMenu(row + 1), menu, grid_->viewport()->mapToGlobal(at), row + 1);
    });
    // The phase fields keep their own menu (cut, copy, paste) and add the last phase
    // run's scores.
    for (QLineEdit* e : {edit1_, edit2_}) {
        e->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(e, &QWidget::customContextMenuRequested, this, [this, e](const QPoint& at) {
            std::unique_ptr<QMenu> menu(e->createStandardContextMenu());
            menu->addSeparator();
            popUp(form_.phaseFieldMenu(), *menu, e->mapToGlobal(at), 0);
        });
    }

    // Esc presses Cancel, but only while Cancel is shown.
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, [this] {
        if (button2_->isVisible())
            button2_->click();
    });

}

MainWindow::~MainWindow()
{
    closing_ = true;
    form_.stopRun();
}

void MainWindow::afterRunShown()
{
    sync();
    if (form_.closeDue() && !closing_)
        close();
}

void MainWindow::create()
{
    handle([this] { form_.FormCreate(); });
    grid_->resize(457, grid_->height());
    const int widths[] = {215, 55, 55, 55, 52};
    for (int c = 0; c < 5; ++c)
        grid_->setColumnWidth(c, widths[c]);
    showColumnsToTheEdge();
    setFixedSize(sizeHint());
}

void MainWindow::setDialogs(QDialog* about, QDialog* disclaimers)
{
    about_ = about;
    disclaimers_ = disclaimers;
    // However a dialog goes away (Return To Program, Esc, the window manager's close),
    // it reports itself finished: that gives this window its input back.
    for (QDialog* d : {about, disclaimers})
        if (d)
            connect(d, &QDialog::finished, this, [this] {
                form_.dialogHidden();
                sync();
            });
}

void MainWindow::showDialog(QDialog* dialog, const char* handlerName)
{
    try {
        if (!dialog)
            return;
        form_.dialogShown();
        sync();
        // The dialog places itself over this window as it shows.
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    } catch (const std::exception& e) {
        host_.plainBox(failureMessage(e) + inProcedure(handlerName));
    }
}

template <class F> void MainWindow::handle(F&& handler)
{
    form_.handlerStarted();
    try {
        handler();
    } catch (const std::exception& e) {
        host_.generalErrorBox(failureMessage(e));
    }
    form_.handlerEnded();
    sync();
    if (form_.closeDue())
        close();
}

void MainWindow::sync()
{
    const WindowModel& m = form_.window;
    const auto setText = [](QLineEdit* e, const std::string& s) {
        if (e->text() != q(s))
            e->setText(q(s));
    };
    setText(edit1_, m.edit1);
    setText(edit2_, m.edit2);
    setText(edit3_, m.edit3);
    label7_->setText(q(m.label7));
    label7_->adjustSize();
    label8_->setText(q(m.label8));
    label8_->adjustSize();
    if (label9_->text() != q(m.label9)) {
        label9_->setText(q(m.label9));
        label9_->adjustSize();
    }
    showButton(button1_, m.button1);
    showButton(button2_, m.button2);
    showButton(button6_, m.button6);
    showButton(button7_, m.button7);
    progress_->setRange(m.progressBar1.minimum, m.progressBar1.maximum);
    progress_->setValue(m.progressBar1.position);
    progress_->setVisible(m.progressBar1.visible);
    updatePanel_->setVisible(m.updatePanel.visible);
    messagePanel_->setVisible(m.messagePanel.visible);
    setLines(memo1_, m.updatePanel.memoLines);
    setLines(memo2_, m.messagePanel.memoLines);
    client_->setEnabled(m.enabled);
    menuBar()->setEnabled(m.enabled);

    showSortIndicator(m.sortIndicator());
    if (m.grid.revision() != gridRevision_) {
        gridRevision_ = m.grid.revision();
        const int rows = m.grid.rowCount();
        grid_->setRowCount(rows - 1);
        for (int c = 0; c < ResultsGrid::columnCount; ++c) {
            auto* h = grid_->horizontalHeaderItem(c);
            if (!h)
                grid_->setHorizontalHeaderItem(c, h = new QTableWidgetItem);
            h->setText(q(m.grid.cell(c, 0)));
            for (int r = 1; r < rows; ++r) {
                auto* item = grid_->item(r - 1, c);
                if (!item)
                    grid_->setItem(r - 1, c, item = new QTableWidgetItem);
                item->setText(q(m.grid.cell(c, r)));
                if (c == 0)
                    item->setToolTip(item->text().trimmed().isEmpty() ? QString() : item->text());
            }
        }
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (std::exchange(shownOnce_, true))
        return;
    // The boxes that start-up asked for come once the window is on the screen, where the
    // window manager has put it, to be centred over it.
    windowHandle()->installEventFilter(this);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!form_.requestClose()) {
        event->ignore();
        return;
    }
    event->accept();
    // A notice still on its way is dropped, so that the program ends at once.
    fetches_.cancel();
}

void MainWindow::showColumnsToTheEdge()
{
    // Column 5 is never written and was laid out beyond the grid's visible width; the
    // part of it that showed looked like an empty column. Amp reaches the edge instead.
    grid_->setColumnHidden(5, true);
    grid_->horizontalHeader()->setStretchLastSection(true);
}

void MainWindow::showSortIndicator(int column)
{
    QHeaderView* header = grid_->horizontalHeader();
    header->setSortIndicatorShown(column >= 0);
    if (column >= 0)
        header->setSortIndicator(column, Qt::AscendingOrder);
}

void MainWindow::windowOnScreen()
{
    handle([this] {
        host_.windowShown();
        form_.filesDropped(std::exchange(startFiles_, {}));
    });
}

void MainWindow::closeOverBoxes()
{
    // The window first, so that a run learns of the close before its question is
    // answered, and then whatever stands in its way, the topmost first.
    close();
    for (int boxes = 0; boxes < 8; ++boxes) {
        QWidget* box = QApplication::activeModalWidget();
        if (!box || box == this || !box->close())
            break;
    }
}

void MainWindow::showCentred()
{
    // The frame is unknown until the window manager has framed the window: the client
    // area goes to the middle first, and the frame follows once its size is known.
    centring_ = true;
    centreFrame();
    show();
}

void MainWindow::centreFrame()
{
    QScreen* screen = this->screen() ? this->screen() : QApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize outer = frameGeometry().size();
    // A window's position is that of its frame.
    move(area.left() + (area.width() - outer.width()) / 2, area.top() + (area.height() - outer.height()) / 2);
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (centring_ && frameGeometry().size() != size()) {
        centring_ = false;
        centreFrame();
    }
}

bool MainWindow::takesDrops() const { return form_.window.enabled && !form_.running(); }

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (takesDrops() && !localFiles(event->mimeData()).empty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    const std::vector<std::filesystem::path> files = localFiles(event->mimeData());
    if (!takesDrops() || files.empty())
        return;
    event->acceptProposedAction();
    // The run starts once the drop is over: the file manager waits for its answer and
    // must not wait for a whole batch.
    QMetaObject::invokeMethod(
        this, [this, files] { handle([this, &files] { form_.filesDropped(files); }); }, Qt::QueuedConnection);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        windowHandle()->removeEventFilter(this);
        QMetaObject::invokeMethod(this, [this] { windowOnScreen(); }, Qt::QueuedConnection);
        return QMainWindow::eventFilter(watched, event);
    }
    // Turning the wheel over the grid neither scrolls it nor moves its selection.
    if (event->type() == QEvent::Wheel)
        return true;
    return QMainWindow::eventFilter(watched, event);
}

} // namespace kestrel
