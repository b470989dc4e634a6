// "Dev Null": a sink that takes every byte and answers nothing.
#pragma once

#include "qelPipeModuleInternal.h"

QELPipeModule *qelDevNullModuleCreate(QELContext *context, QELPipeModule **out);
