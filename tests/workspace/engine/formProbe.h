#pragma once

#include "workspace/PelmoraForm.h"
#include "workspace/engine/upscaler.h"

// Reaches the form's engine and batch members for the engine tests.
struct EngineProbeTag {};

template <> struct PelmoraFormProbe<EngineProbeTag> {
    PelmoraForm &form;

    bool setupNetwork() { return form.setupNetwork(); }
    int inputMultiple() const { return form.upscaler ? form.upscaler->inputMultiple() : 0; }
    QImage runNetwork(const QImage &image) { return form.runNetwork(image); }
    void computeTileSize() { form.computeTileSize(); }
    QImage upscaleImageTiling(const QImage &image) { return form.upscaleImageTiling(image); }
    QImage upscaleImage(const QImage &image) { return form.upscaleImage(image); }
    void clickUpscale() { form.on_upscaleButton_clicked(); }
    void clickCancel() { form.on_cancelButton_clicked(); }
    int &currentTileSize() { return form.currentTileSize; }
    int &upscaleValue() { return form.upscaleValue; }
    int &processEngine() { return form.processEngine; }
    int &gpuIndex() { return form.gpuIndex; }
    QString &outputFolder() { return form.outputFolder; }
    QStandardItemModel &fileModel() { return form.fileModel; }
    Ui::PelmoraForm *ui() { return form.ui; }
    QStackedLayout *pageStack() { return form.pageStack; }
    bool batchRunning() const { return form.batchWatcher != nullptr; }
    ResultOptions &resultOptions() { return form.resultOptions; }
    const QHash<QString, QString> &batchResults() const { return form.batchResults; }
};

using EngineProbe = PelmoraFormProbe<EngineProbeTag>;
