#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"

#include "dialogs/openFailure.h"
#include "widgets/ProgressPicture.h"
#include "workspace/batchProgress.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/fileProblems.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/upscaler.h"

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
    if (const Problem problem = engine::folderWriteProblem(outputFolder)) {
        QMessageBox::warning(
            this, tr("Upscaling"),
            tr("The upscaled images cannot be saved in the output folder (%1):").arg(problem.words()) +
                QStringLiteral("\n") + QDir::toNativeSeparators(outputFolder) + QStringLiteral("\n\n") +
                tr("Please choose another output folder."));
        return;
    }

    ui->progressLabel->setText(tr("Initializing AI Neural Network..."));
    pageStack->setCurrentIndex(2);

    QString networkError;
    if (!setupNetwork(&networkError)) {
        // A batch without its model would only write black pictures.
        QMessageBox::warning(this, tr("Upscaling"),
                             tr("The AI model could not be loaded.") + QLatin1Char('\n') + networkError +
                                 QLatin1Char('\n') +
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

    clearRowOutcomes();
    batchJob = makeBatchJob();
    connectBatchProgress();
    startBatchProgress(paths);

    batchWatcher = new QFutureWatcher<void>(this);
    connect(batchWatcher, &QFutureWatcher<void>::finished, this, &PelmoraForm::onBatchFinished);
    processFiles(paths);
}

engine::BatchJob *PelmoraForm::makeBatchJob()
{
    auto *job = new engine::BatchJob(outputFolder, upscaler, &cancelRequested, this);
    job->setOutputFormat(resultOptions.outputFormat());
    job->setFinishing(resultOptions.finishing());
    return job;
}

// The job's signals arrive queued, each thread's in the order it sent them; the page keeps to the
// picture the network is on.
void PelmoraForm::connectBatchProgress()
{
    auto show = [this] {
        ui->progressFileLabel->setText(progressPage->fileText());
        ui->progressLabel->setText(progressPage->statusText());
        ui->progressBar->setRange(0, progressPage->barMaximum());
        ui->progressBar->setValue(progressPage->barValue());
    };
    connect(batchJob, &engine::BatchJob::pictureStarted, this,
            [this, show](int index, int total, const QString &path) {
                progressPage->pictureStarted(index, total, path);
                show();
                timeEstimate->pictureStarted(index, batchClock.elapsed());
                progressPicture->start(orientedImageSize(path) * upscaler->scale());
                showBatchTimes();
            });
    connect(batchJob, &engine::BatchJob::statusChanged, this, [this, show](int index, const QString &text) {
        progressPage->statusChanged(index, text);
        show();
    });
    connect(batchJob, &engine::BatchJob::tileProgress, this, [this, show](int done, int total) {
        progressPage->tileProgress(done, total);
        show();
        timeEstimate->tilesDone(done, total, batchClock.elapsed());
        showBatchTimes();
    });
    connect(batchJob, &engine::BatchJob::tileAdvanced, this, [this](double done, int total) {
        timeEstimate->tilesDone(done, total, batchClock.elapsed());
        showBatchTimes();
    });
    connect(batchJob, &engine::BatchJob::pictureFinished, this,
            [this, show](const engine::PictureReport &report) {
                if (report.status == engine::Outcome::Done)
                    batchResults.insert(report.input, report.output);
                progressPage->pictureFinished(report.index);
                show();
                showRowOutcome(report);
            });
    connect(batchJob, &engine::BatchJob::tileFinished, progressPicture, &ProgressPicture::addTile);
}

void PelmoraForm::startBatchProgress(const QStringList &paths)
{
    QList<QSize> sizes;
    sizes.reserve(paths.size());
    for (const QString &path : paths)
        sizes << orientedImageSize(path);
    timeEstimate =
        std::make_unique<BatchTimeEstimate>(sizes, upscaler->tileSize(), upscaler->inputMultiple());
    progressPage = std::make_unique<PictureInProgress>();
    progressPicture->clear();
    batchPhase = BatchPhase::Running;
    batchClock.start();
    showBatchTimes();
    connect(&progressClock, &QTimer::timeout, this, &PelmoraForm::showBatchTimes, Qt::UniqueConnection);
    progressClock.start(1000);
}

void PelmoraForm::showBatchTimes()
{
    if (!timeEstimate)
        return;
    const qint64 elapsed = batchClock.elapsed();
    progressTimeLabel->setText(
        batchTimeText(timeEstimate->fractionDone(), elapsed, timeEstimate->remainingMs(elapsed), batchPhase));
}

void PelmoraForm::processFiles(QStringList paths)
{
    // The worker holds the job and its own copy of the list, never the form.
    batchWatcher->setFuture(
        QtConcurrent::run(QThreadPool::globalInstance(), [job = batchJob, paths] { job->run(paths); }));
}

void PelmoraForm::onBatchFinished()
{
    qDebug() << "Finish Upscalling";
    // What stays behind the completion message: the share done and the time it took, nothing to wait for.
    showBatchTimes();
    batchPhase = BatchPhase::Finished;
    showBatchTimes();
    progressClock.stop();
    ui->cancelButton->setEnabled(false);
    markRowsLeftOut();
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
    // The selected row may have a result now: show it beside its source.
    if (batchResults.contains(previewPath))
        loadImage(previewPath);
    progressPicture->clear();
    timeEstimate.reset();
    progressPage.reset();
    batchWatcher->deleteLater();
    batchWatcher = nullptr;
    batchJob->deleteLater();
    batchJob = nullptr;
}

void PelmoraForm::on_cancelButton_clicked()
{
    ui->cancelButton->setEnabled(false);
    cancelRequested = true;
    if (batchPhase == BatchPhase::Running)
        batchPhase = BatchPhase::Stopping;
    showBatchTimes();
}

void PelmoraForm::stopBatch()
{
    if (!batchWatcher)
        return;
    cancelRequested = true;
    // The picture in progress is abandoned between two layers of the network, not finished: closing
    // the window must not leave the process running invisibly for as long as a large picture takes.
    batchJob->requestStop();
    progressClock.stop();
    // No completion message for a form that is going away.
    batchWatcher->disconnect(this);
    batchWatcher->waitForFinished();
}
