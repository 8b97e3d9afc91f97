#pragma once

#include "workspace/previewRender.h"
#include "workspace/storedOptions.h"

#include <QElapsedTimer>
#include <QHash>
#include <QItemSelection>
#include <QList>
#include <QStandardItemModel>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <memory>

namespace Ui {
class PelmoraForm;
}
class QStackedLayout;
class QNetworkAccessManager;
class QNetworkReply;
class ModelDownloader;
class QImage;
class QPixmap;
class FolderWalk;
class QLabel;
class ProgressPicture;
class BatchTimeEstimate;
class PictureInProgress;
enum class BatchPhase;
class ThumbnailBatch;
template <typename T> class QFutureWatcher;
namespace engine {
struct Device;
class BatchJob;
struct PictureReport;
class Upscaler;
} // namespace engine

// Tests specialise this with a tag of their own to reach private members.
template <typename Tag> struct PelmoraFormProbe;

// The application's one working surface: five pages, the file list, the options, the preview, the
// network and the model files. Slots stay thin; the logic lives in the units they call.
// Lives on the GUI thread. The batch worker never touches the form: it gets the upscaler (which only
// it reads while the batch runs), its own copy of the path list and cancelRequested, and reports
// through the job's queued signals.
class PelmoraForm : public QWidget {
    Q_OBJECT

public:
    explicit PelmoraForm(QWidget *parent);
    ~PelmoraForm() override;

    // Icons of the toolbar follow the colour scheme and each button's enabled state.
    void updateIcons();

    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    // The order of these 22 slots is the order of the class's meta-object methods.
    void on_AddURL(QUrl url);
    void on_AddURLs(QList<QUrl> _urls);
    void on_itemSelection_changed(QItemSelection selected, QItemSelection deselected);
    void on_sourceImageButton_clicked();
    void on_updateTimer();
    void on_upscaleButton_clicked();
    void on_removeButton_clicked();
    void on_clearButton_clicked();
    void on_outputFolderButton_clicked();
    void on_aboutButton2_clicked();
    void on_aboutButton_clicked();
    void on_scaleSlider_valueChanged(int value);
    void on_processCpuRadioButton_clicked(bool checked);
    void on_processGpuRadioButton_clicked(bool checked);
    void on_webButton_clicked();
    void on_webButton2_clicked();
    void on_cancelButton_clicked();
    void on_addButton_clicked();
    void on_updateButton_clicked();
    void on_updateButton2_clicked();
    void on_downloadButton_clicked();
    void on_processGpuComboBox_currentIndexChanged(int index);

private:
    template <typename Tag> friend struct PelmoraFormProbe;

    // --- file list (formFileList.cpp) ---
    void startAddUrlsThread(QList<QUrl> &urls);
    void loadUrl(QString path);
    void _loadUrl(QString path);
    void onAddUrlsFinish();
    void getItemsIcon();
    void applyThumbnail(QPixmap pixmap, QString fileName, QString folder, QString size, int row);
    // Starts an add at once, or queues it behind the one in progress.
    void requestAdd(const QList<QUrl> &urls);
    // One slice of the walk; yields to the event loop between slices.
    void continueAdd();
    void addFinished();
    // What became of each row in the last batch, as a fourth line under its label: written (with
    // the result's size), failed (with the reason) or left out. Cleared when the next batch starts.
    void showRowOutcome(const engine::PictureReport &report);
    void markRowsLeftOut();
    void clearRowOutcomes();
    // The result of a written row, in the system's viewer; an empty path for any other row.
    QString rowResult(const QModelIndex &index) const;
    void openRowResult(const QModelIndex &index);
    void showRowMenu(const QPoint &where);

    // --- preview (formPreview.cpp) ---
    void loadImage(QString path);
    // The plain picture rendered for the request numbered `request`.
    void showPreview(int request, const QImage &image);
    // The selected picture beside its result, for the request it was rendered for.
    void showComparison(int request, const PreviewPair &pair);
    // Whether the label still shows the comparison last composed (the file list may have reset it).
    bool comparisonShown() const;
    void composeComparisonPixmap();
    // The key's toggle: the source whole, then the result whole, and so on.
    void toggleComparison();
    // The divider follows the pointer over the picture.
    void moveDivider(int labelX);

    // --- options and settings (formOptions.cpp) ---
    void loadSettings();
    void saveSettings();
    void fillGpuList();
    void logDefaultGpu();
    void showResultOptions();
    void connectResultOptions();
    void saveResultOptions();
    void enableResultOptions();
    void showNetworkList();
    // Takes `param` as the network of the batches; the reason when it cannot be one.
    QString useOtherNetwork(const QString &param);
    static QString otherNetworkProblem(const QString &param);

    // --- engine (formEngine.cpp): forwards to the upscaler ---
    // Builds the upscaler of the current options; returns whether its network loaded, with the
    // reason in *error when it did not.
    bool setupNetwork(QString *error = nullptr);
    // The network the options name: a slot of the scale, or the other network at its own scale.
    engine::Upscaler::Config upscalerConfig() const;
    void bindVulkanDevice();
    engine::Device chosenDevice() const;
    QImage runNetwork(const QImage &image);
    int scaleFactor() const;
    void computeTileSize();
    QImage upscaleImageTiling(const QImage &image);
    QImage upscaleImage(const QImage &image);
    QImage upscaleImageWithAlpha(const QImage &image);

    // --- batch job (formBatch.cpp) ---
    // Starts the job on the global pool, watched by batchWatcher.
    void processFiles(QStringList paths);
    // The job of the current options, output folder and network.
    engine::BatchJob *makeBatchJob();
    void connectBatchProgress();
    // The progress page's time line and the picture being enlarged.
    void startBatchProgress(const QStringList &paths);
    void showBatchTimes();
    void onBatchFinished();
    // Cancels a running batch and waits for its worker: nothing the worker uses may die before it.
    void stopBatch();

    // --- model files (formModels.cpp) ---
    void checkModelFiles();
    void downloadNextModel();
    void modelReplyFinished(QNetworkReply *reply);

    Ui::PelmoraForm *ui = nullptr;
    QStackedLayout *pageStack = nullptr;
    QStandardItemModel fileModel;
    bool uiReady = false;

    // file list
    QList<QUrl> pendingUrls;
    // Rows waiting for a thumbnail, by their Path text (the list's key): the window stays usable while
    // an add runs, so rows may be removed or moved before their thumbnail arrives.
    QStringList pendingIconRows;
    QString lastAddedPath;
    // An add walks in slices on the event loop and decodes thumbnails on the pool; adds that arrive
    // meanwhile wait, in order, until it has finished.
    bool addInProgress = false;
    QList<QList<QUrl>> waitingAdds;
    std::shared_ptr<FolderWalk> currentWalk;
    ThumbnailBatch *thumbnailBatch = nullptr;

    // preview
    QTimer previewTimer;
    int previewCountdown = 0;
    QString previewPath;
    // Renders started so far; a burst of requests must add only one.
    int previewRendersStarted = 0;
    // The result of each input a batch has written since the window opened.
    QHash<QString, QString> batchResults;
    // Counts requests; a comparison rendered for an earlier one arrives too late and is dropped.
    int previewRequest = 0;
    int comparisonsDropped = 0;
    PreviewPair comparison;
    int comparisonRequest = 0;
    qint64 comparisonPixmapKey = 0;
    double comparisonDivider = 0.5;
    ComparisonSide comparisonSide = ComparisonSide::Split;

    // options
    int upscaleValue = 1;
    int processEngine = 0;
    int gpuIndex = 0;
    QString outputFolder;
    ResultOptions resultOptions;

    // engine and batch
    int currentTileSize = 0;
    // The loaded network with its device, scale and tile policy; shared with the running batch, which
    // only reads it. Rebuilt by setupNetwork while no batch runs.
    std::shared_ptr<engine::Upscaler> upscaler;
    std::atomic<bool> cancelRequested{false};
    engine::BatchJob *batchJob = nullptr;
    QFutureWatcher<void> *batchWatcher = nullptr;
    // The progress page's times and the picture being enlarged; made in code beside the form's
    // widget record.
    QLabel *progressTimeLabel = nullptr;
    ProgressPicture *progressPicture = nullptr;
    // Ticks once a second while a batch runs, for the elapsed time and the estimate.
    QTimer progressClock;
    QElapsedTimer batchClock;
    std::unique_ptr<BatchTimeEstimate> timeEstimate;
    std::unique_ptr<PictureInProgress> progressPage;
    BatchPhase batchPhase{};

    // model files
    QStringList missingModels;
    int downloadIndex = 0;
    int downloadTotal = 0;
    QString x2BinPath;
    QString x2ParamPath;
    QString x4BinPath;
    QString x4ParamPath;
    QNetworkAccessManager *networkManager = nullptr;
    ModelDownloader *modelDownloader = nullptr;
};
