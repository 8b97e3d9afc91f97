#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"

#include "dialogs/openFailure.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/fileProblems.h"
#include "workspace/engine/outputNaming.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QThreadPool>
#include <QtConcurrent>

void PelmoraForm::on_upscaleButton_clicked()
{
    if (batchWatcher)
        return;
    // Nothing to do; the page would otherwise stay on "Initializing" with no way back.
    if (fileModel.rowCount() == 0)
        return;

    if (!QFileInfo(outputFolder).isDir()) {
        const QString folder =
            QFileDialog::getExistingDirectory(this, tr("Select Folder"), outputFolder,
                                              QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
        if (folder.isEmpty())
            return; // every write would fail: stay on the list page
        outputFolder = folder;
        ui->outputFolderLineEdit->setText(QDir::toNativeSeparators(outputFolder));
        saveSettings();
        qDebug() << "Selected folder:" << outputFolder;
    }

    // Found now rather than after a whole batch of results that could not be saved.
    if (const QString problem = engine::folderWriteProblem(outputFolder); !problem.isEmpty()) {
        QMessageBox::warning(this, tr("Upscaling"),
                             tr("The upscaled images cannot be saved in the output folder (%1):").arg(problem) +
                                 QStringLiteral("\n") + QDir::toNativeSeparators(outputFolder) +
                                 QStringLiteral("\n\n") + tr("Please choose another output folder."));
        return;
    }

    ui->progressLabel->setText(tr("Initializing AI Neural Network..."));
    pageStack->setCurrentIndex(2);

    if (!setupNetwork()) {
        // A batch without its model would only write black pictures.
        QMessageBox::warning(this, tr("Upscaling"),
                             tr("The AI model could not be loaded.") + QLatin1Char('\n') +
                                 tr("Check that the model files are present in the install folder."));
        pageStack->setCurrentIndex(1);
        return;
    }

    QStringList paths;
    for (int row = 0; row < fileModel.rowCount(); ++row)
        paths << fileModel.index(row, 1).data(Qt::DisplayRole).toString();

    ui->progressBar->setRange(0, 0);
    ui->progressFileLabel->setText(QStringLiteral("..."));
    ui->progressLabel->setText(QStringLiteral("..."));
    cancelRequested = false;
    ui->cancelButton->setVisible(paths.size() >= 2);
    ui->cancelButton->setEnabled(true);

    batchJob = new engine::BatchJob(outputFolder, upscaler, cancelRequested, this);
    connectBatchProgress();

    batchWatcher = new QFutureWatcher<void>(this);
    connect(batchWatcher, &QFutureWatcher<void>::finished, this, &PelmoraForm::onBatchFinished);
    processFiles(paths);
}

// The job's signals arrive queued, in the order the worker sent them.
void PelmoraForm::connectBatchProgress()
{
    QLabel *fileLabel = ui->progressFileLabel;
    QLabel *statusLabel = ui->progressLabel;
    QProgressBar *bar = ui->progressBar;
    connect(batchJob, &engine::BatchJob::pictureStarted, fileLabel,
            [fileLabel](int index, int total, const QString &path) {
                fileLabel->setText(QString::number(index + 1) + QStringLiteral(" of ") +
                                   QString::number(total) + QStringLiteral(": ") + engine::displayName(path));
            });
    connect(batchJob, &engine::BatchJob::statusChanged, statusLabel, &QLabel::setText);
    connect(batchJob, &engine::BatchJob::tileProgress, bar, [bar](int done, int total) {
        bar->setRange(0, total);
        bar->setValue(done);
    });
    connect(batchJob, &engine::BatchJob::fileWritten, bar, [bar] { bar->setValue(bar->maximum()); });
}

void PelmoraForm::processFiles(QStringList paths)
{
    // The worker holds the job and its own copy of the list, never the form.
    batchWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                              [job = batchJob, paths] { job->run(paths); }));
}

void PelmoraForm::onBatchFinished()
{
    qDebug() << "Finish Upscalling";
    const QString text = engine::completionText(batchJob->summary());
    const bool allWritten = batchJob->summary().failures.isEmpty() && !batchJob->summary().cancelled;

    QMessageBox box;
    box.setWindowTitle(tr("Upscaling Complete"));
    box.setText(text);
    box.setIcon(allWritten ? QMessageBox::Information : QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Ok);
    QPushButton *open = box.addButton(tr("Open Folder"), QMessageBox::ActionRole);
    box.exec();
    if (box.clickedButton() == open && !QDesktopServices::openUrl(QUrl::fromLocalFile(outputFolder)))
        reportNotOpened(nullptr, QUrl::fromLocalFile(outputFolder));

    pageStack->setCurrentIndex(1);
    batchWatcher->deleteLater();
    batchWatcher = nullptr;
    batchJob->deleteLater();
    batchJob = nullptr;
}

void PelmoraForm::on_cancelButton_clicked()
{
    ui->cancelButton->setEnabled(false);
    cancelRequested = true;
}

void PelmoraForm::stopBatch()
{
    if (!batchWatcher)
        return;
    cancelRequested = true;
    // No completion message for a form that is going away.
    batchWatcher->disconnect(this);
    batchWatcher->waitForFinished();
}
