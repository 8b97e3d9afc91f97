#include "workspace/PelmoraForm.h"

void PelmoraForm::updateIcons() {}
