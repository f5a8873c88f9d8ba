// UIDlgBuilder.h - makes a control tree from an XML skin.
//
// A skin file is UTF-8 XML:
//
//   <Window size="cx,cy" caption="l,t,r,b">
//     <Font id="0" name="Microsoft YaHei" size="13" bold="false" default="true"/>
//     <VerticalLayout ...> <Text .../> <Button .../> <Progress .../> </VerticalLayout>
//   </Window>
//
// Element names are the controls' class names without "UI" (VerticalLayout,
// HorizontalLayout, Text, Button, Progress, and Control for an empty
// spacer); attributes are the controls' (see SetAttribute()).  The file is
// read from the paint manager's skin archive (a zip in the resource folder)
// or, without one, from the resource folder itself.

#ifndef BREVIK_UI_UIDLGBUILDER_H
#define BREVIK_UI_UIDLGBUILDER_H

#include "UIControl.h"

#include <memory>
#include <string>

class TiXmlElement;

namespace ui {

// Lets a program make controls of its own classes from a skin.
class IDialogBuilderCallback {
public:
    // A new control for the element name, or null when the name is not one
    // of the program's.
    virtual std::unique_ptr<CControlUI> CreateControl(const std::wstring& className) = 0;

protected:
    ~IDialogBuilderCallback() = default;
};

class CDialogBuilder {
public:
    // The tree of the skin file, its window settings and fonts given to the
    // manager; null when the skin cannot be read (GetError() tells why).
    std::unique_ptr<CControlUI> Create(const std::wstring& skinFile, CPaintManagerUI* manager,
                                       IDialogBuilderCallback* callback = nullptr);
    // The same from the skin's text.
    std::unique_ptr<CControlUI> CreateFromXml(const std::string& xml, CPaintManagerUI* manager,
                                              IDialogBuilderCallback* callback = nullptr);

    // Why the last Create failed, or what it skipped (unknown elements or
    // attributes); empty when all went well.
    const std::wstring& GetError() const { return m_sError; }

private:
    std::unique_ptr<CControlUI> Parse(const TiXmlElement* element, CPaintManagerUI* manager,
                                      IDialogBuilderCallback* callback, int depth);
    std::unique_ptr<CControlUI> MakeControl(const std::wstring& className, IDialogBuilderCallback* callback);
    void ApplyWindow(const TiXmlElement* window, CPaintManagerUI* manager);
    void Report(const std::wstring& message);

    std::wstring m_sError;
};

// Reads one file out of a zip archive (at most maxSize bytes).  False when
// the archive or the file cannot be read, or the file is larger.
bool ReadFileFromZip(const std::wstring& zipPath, const std::string& fileName, size_t maxSize,
                     std::string* content, std::wstring* error);

}  // namespace ui

#endif  // BREVIK_UI_UIDLGBUILDER_H
