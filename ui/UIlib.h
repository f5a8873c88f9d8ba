// UIlib.h - the whole UI toolkit in one include.

#ifndef BREVIK_UI_UILIB_H
#define BREVIK_UI_UILIB_H

#include "UIBase.h"
#include "UICommonControls.h"
#include "UIContainer.h"
#include "UIControl.h"
#include "UIDlgBuilder.h"
#include "UIManager.h"
#include "UIRender.h"

#endif  // BREVIK_UI_UILIB_H
