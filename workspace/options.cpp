#include "workspace/PelmoraForm.h"

void PelmoraForm::loadSettings() {}
void PelmoraForm::saveSettings() {}
void PelmoraForm::fillGpuList() {}
void PelmoraForm::logDefaultGpu() {}
void PelmoraForm::on_outputFolderButton_clicked() {}
void PelmoraForm::on_scaleSlider_valueChanged(int) {}
void PelmoraForm::on_processCpuRadioButton_clicked(bool) {}
void PelmoraForm::on_processGpuRadioButton_clicked(bool) {}
void PelmoraForm::on_processGpuComboBox_currentIndexChanged(int) {}
