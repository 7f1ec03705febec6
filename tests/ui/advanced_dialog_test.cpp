#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "qt_test_support.h"
#include "tests/support/event_recorder.h"
#include "ui/advanced_dialog.h"
#include "ui/controls.h"
#include "ui/dialog_texts.h"
#include "ui/modal_boxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace skelvo::ui;
using namespace skelvo::test;

class AdvancedOptions : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        ResetUpgradeRecord();
        SetTraceSink([this](std::string_view text) { trace.append(text); });
    }
    void TearDown() override {
        SetFileDialogHook({});
        ResetTraceSink();
        ResetUpgradeRecord();
    }
    static QCheckBox* Check(AdvancedDialog& d, int id) { return qobject_cast<QCheckBox*>(d.control(id)); }
    static QLineEdit* Name(AdvancedDialog& d) { return qobject_cast<QLineEdit*>(d.control(ID_ADV_FILENAME)); }
    static void Click(AdvancedDialog& d, int id) { QTest::mouseClick(d.control(id), Qt::LeftButton); }
    // The file-open box picks `path`, as a user would by typing it and pressing Open.
    static void ChooseFile(const std::string& path) {
        SetFileDialogHook([path](QFileDialog& box) {
            box.selectFile(QString::fromStdString(path));
            box.show();
            QTimer::singleShot(0, &box, [&box] {
                if (auto* open = box.findChild<QDialogButtonBox*>())
                    QTest::mouseClick(open->button(QDialogButtonBox::Open), Qt::LeftButton);
            });
            return box.exec();
        });
    }

    std::string trace;
    TempDir dir;
};

TEST_F(AdvancedOptions, OpensFromTheRecordWithTheFileBoxUnchecked) {
    SetDownloadTrace(1);
    SetImageFilename("/srv/last.bin");
    {
        AdvancedDialog dialog(nullptr);
        EXPECT_EQ(dialog.windowTitle(), "Advanced Options");
        EXPECT_FALSE(dialog.control(ID_ADV_FILENAME)->isEnabled());
        EXPECT_FALSE(dialog.control(ID_ADV_BROWSE)->isEnabled());
        EXPECT_TRUE(Check(dialog, ID_ADV_TRACE)->isChecked());
        EXPECT_FALSE(Check(dialog, ID_ADV_USE_FILE)->isChecked());
        EXPECT_EQ(Name(dialog)->text(), "/srv/last.bin");
        EXPECT_EQ(Name(dialog)->maxLength(), 259);
        EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.control(ID_ADV_OK))->isDefault());
    }
    SetImageToUse(SERVER_USER_FILE);
    SetDownloadTrace(0);
    AdvancedDialog dialog(nullptr);
    EXPECT_TRUE(dialog.control(ID_ADV_FILENAME)->isEnabled());
    EXPECT_TRUE(dialog.control(ID_ADV_BROWSE)->isEnabled());
    EXPECT_FALSE(Check(dialog, ID_ADV_USE_FILE)->isChecked());
    EXPECT_FALSE(Check(dialog, ID_ADV_TRACE)->isChecked());
}

TEST_F(AdvancedOptions, CancelAfterBrowseKeepsOnlyTheBrowsedName) {
    const std::string file = dir.Write("new.BIN", PatternBytes(3000));
    SetDownloadTrace(1);
    ChooseFile(file);
    {
        AdvancedDialog dialog(nullptr);
        dialog.show();
        Click(dialog, ID_ADV_USE_FILE);
        EXPECT_TRUE(dialog.control(ID_ADV_BROWSE)->isEnabled());
        Click(dialog, ID_ADV_BROWSE);
        EXPECT_EQ(Name(dialog)->text().toStdString(), file);
        // Browse neither checks the box nor chooses the file.
        EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
        Check(dialog, ID_ADV_TRACE)->setChecked(false);
        Click(dialog, ID_ADV_CANCEL);
        EXPECT_EQ(dialog.result(), 0);
    }
    EXPECT_EQ(std::string(GetImageFilename()), file);
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_EQ(GetDownloadTrace(), 1);
    EXPECT_EQ(g_TftpConfigData.FileImage.Data, nullptr);

    AdvancedDialog again(nullptr);
    EXPECT_EQ(Name(again)->text().toStdString(), file);
    EXPECT_FALSE(Check(again, ID_ADV_USE_FILE)->isChecked());
}

TEST_F(AdvancedOptions, CancellingTheFileBoxChangesNothing) {
    SetImageFilename("/srv/kept.flash");
    SetFileDialogHook([](QFileDialog& box) {
        box.reject();
        return static_cast<int>(QDialog::Rejected);
    });
    AdvancedDialog dialog(nullptr);
    Click(dialog, ID_ADV_USE_FILE);
    Name(dialog)->setText("typed.bin");
    EXPECT_EQ(dialog.presenter().BrowseImageFile(), 0);
    EXPECT_EQ(Name(dialog)->text(), "typed.bin");
    EXPECT_EQ(std::string(GetImageFilename()), "/srv/kept.flash");
    EXPECT_NE(trace.find("GetOpenFileName() call failed.\n"), std::string::npos);
}

TEST_F(AdvancedOptions, TheFileBoxOffersFlashFilesInAnyCaseAndAll) {
    for (const char* name : {"a.BIN", "b.bin", "c.Flash", "d.FLASH", "e.txt", "fbin"})
        dir.Write(name, PatternBytes(10));
    QStringList shown;
    QStringList types;
    QString title;
    SetFileDialogHook([&](QFileDialog& box) {
        title = box.windowTitle();
        auto* combo = box.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        for (int i = 0; combo != nullptr && i < combo->count(); ++i)
            types << combo->itemText(i);
        box.setDirectory(QString::fromStdString(dir.path()));
        box.show();
        auto* view = box.findChild<QListView*>(QStringLiteral("listView"));
        const auto rows = [&] {
            QStringList names;
            if (view == nullptr)
                return names;
            QAbstractItemModel* model = view->model();
            const QModelIndex root = view->rootIndex();
            for (int r = 0; r < model->rowCount(root); ++r)
                names << model->index(r, 0, root).data().toString();
            names.sort();
            return names;
        };
        WaitUntil([&] { return rows().size() == 4; }, std::chrono::seconds(10));
        shown = rows();
        box.reject();
        return static_cast<int>(QDialog::Rejected);
    });
    AdvancedDialog dialog(nullptr);
    dialog.presenter().BrowseImageFile();
    EXPECT_EQ(title, "Choose a flashfile to download");
    EXPECT_EQ(types, (QStringList{"Flash File (*.BIN;*.flash)", "All"}));
    EXPECT_EQ(shown, (QStringList{"a.BIN", "b.bin", "c.Flash", "d.FLASH"}));
    EXPECT_TRUE(MatchesFlashFilter("X.Bin"));
    EXPECT_FALSE(MatchesFlashFilter("x.bin.txt"));
}

TEST_F(AdvancedOptions, OkWithAnEmptyNameShowsTheErrorAndStaysOpen) {
    BoxAnswerer boxes(QMessageBox::Ok);
    SetDownloadTrace(0);
    AdvancedDialog dialog(nullptr);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Click(dialog, ID_ADV_USE_FILE);
    Check(dialog, ID_ADV_TRACE)->setChecked(true);
    Click(dialog, ID_ADV_OK);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Error opening file.");
    EXPECT_EQ(boxes.seen[0].text, "The file \"\" could not be opened. \r\n Please check the filename.");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(WaitUntil([&] { return QApplication::focusWidget() == dialog.control(ID_ADV_FILENAME); }));
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_EQ(GetDownloadTrace(), 0);
    EXPECT_NE(trace.find("Error: could not open \"\".\n"), std::string::npos);
}

TEST_F(AdvancedOptions, OkWithTheBoxUncheckedOnlySetsTheTraceFlag) {
    const std::string file = dir.Write("image.bin", PatternBytes(2048));
    ASSERT_EQ(LoadImageFile(file.c_str()), 1);
    SetImageToUse(SERVER_USER_FILE);
    AdvancedDialog dialog(nullptr);
    dialog.show();
    Name(dialog)->setText("/no/such/file");
    Check(dialog, ID_ADV_TRACE)->setChecked(true);
    trace.clear();
    Click(dialog, ID_ADV_OK);
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(GetImageToUse(), SERVER_USER_FILE);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 2048u);
    EXPECT_EQ(GetDownloadTrace(), 1);
    EXPECT_EQ(trace, "Enabling download trace ...\n");

    // Checking and unchecking the box leaves the name box enabled, and OK then ignores it.
    SetImageToUse(SERVER_TOLVA_22XX);
    AdvancedDialog second(nullptr);
    second.show();
    Click(second, ID_ADV_USE_FILE);
    Click(second, ID_ADV_USE_FILE);
    EXPECT_TRUE(second.control(ID_ADV_FILENAME)->isEnabled());
    Click(second, ID_ADV_TRACE);
    Click(second, ID_ADV_OK);
    EXPECT_EQ(second.result(), 1);
    EXPECT_EQ(GetImageToUse(), SERVER_TOLVA_22XX);
    EXPECT_EQ(GetDownloadTrace(), 0);
}

TEST_F(AdvancedOptions, OkWithAReadableFileChoosesIt) {
    const std::string file = dir.Write("any name.txt", PatternBytes(70000));
    AdvancedDialog dialog(nullptr);
    dialog.show();
    Click(dialog, ID_ADV_USE_FILE);
    // A name typed by hand is loaded but not remembered.
    Name(dialog)->setText(QString::fromStdString(file));
    Click(dialog, ID_ADV_OK);
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(GetImageToUse(), SERVER_USER_FILE);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 70000u);
    EXPECT_EQ(std::string(GetImageFilename()), "");
}

// The choice stands and the dialog closes, as on every platform: the trace tells, and with no
// image loaded the TFTP server refuses the device before it erases anything.
TEST_F(AdvancedOptions, AFileThatOpensButCannotBeLoadedIsTracedAndTheDialogCloses) {
    // Sparse, so it takes no room: it opens, but its size does not fit the image descriptor.
    const std::string huge = dir.File("huge.bin");
    std::filesystem::resize_file(std::filesystem::path(dir.Write("huge.bin", {})), 5ull << 30);
    BoxAnswerer boxes(QMessageBox::Ok);
    SetImageToUse(SERVER_DRAVENHOLT);
    AdvancedDialog dialog(nullptr);
    dialog.show();
    Click(dialog, ID_ADV_USE_FILE);
    Click(dialog, ID_ADV_TRACE);
    Name(dialog)->setText(QString::fromStdString(huge));
    Click(dialog, ID_ADV_OK);
    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(GetImageToUse(), SERVER_USER_FILE);
    EXPECT_EQ(g_TftpConfigData.FileImage.Data, nullptr);
    EXPECT_EQ(GetDownloadTrace(), 1);
    EXPECT_NE(trace.find("Error in GetFileSize() call\n"), std::string::npos);
    EXPECT_NE(trace.find("The file \"" + huge + "\" could not be read; no image will be served from it.\n"),
              std::string::npos);
}

} // namespace

namespace {

// The choice to answer no TFTP options belongs to the main dialog: OK keeps what the box shows,
// Cancel keeps what was there, and the box opens with the choice in force.
TEST_F(AdvancedOptions, NoTftpOptionsIsTakenOnOkOnly) {
    bool noOptions = false;
    {
        AdvancedDialog dialog(nullptr, noOptions);
        dialog.show();
        ASSERT_FALSE(Check(dialog, ID_ADV_NO_OPTIONS)->isChecked());
        Click(dialog, ID_ADV_NO_OPTIONS);
        Click(dialog, ID_ADV_CANCEL);
    }
    EXPECT_FALSE(noOptions);
    {
        AdvancedDialog dialog(nullptr, noOptions);
        dialog.show();
        Click(dialog, ID_ADV_NO_OPTIONS);
        Click(dialog, ID_ADV_OK);
    }
    EXPECT_TRUE(noOptions);
    AdvancedDialog again(nullptr, noOptions);
    again.show();
    EXPECT_TRUE(Check(again, ID_ADV_NO_OPTIONS)->isChecked());
}

} // namespace
