/*
 * driver_resources.cpp - the panel's resources as stored in its executable: the "Edit" and
 * "Help" dialog templates field by field, and the icon groups.
 */
#include "panel_driver.h"

#include <cstdio>
#include <cstring>

// The panel's "Help" template, loaded from its executable and created here unseen: it has the
// panel's font, so it converts dialog units and measures text as the panel does (dialog units
// cannot be converted across processes).
static INT_PTR CALLBACK QuietProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

HWND HelpTemplateHere() {
    static HWND dialog;
    if (dialog != nullptr)
        return dialog;
    HMODULE module = LoadLibraryExA(g_driver.panelExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = FindResourceA(module, "Help", reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (resource == nullptr)
        return nullptr;
    DWORD size = SizeofResource(module, resource);
    static unsigned char copy[4096];
    if (size > sizeof copy)
        return nullptr;
    memcpy(copy, LockResource(LoadResource(module, resource)), size);
    reinterpret_cast<DLGTEMPLATE *>(copy)->style &= ~WS_VISIBLE;
    dialog = CreateDialogIndirectParamA(
        GetModuleHandleA(nullptr), reinterpret_cast<DLGTEMPLATE *>(copy), nullptr, QuietProc, 0);
    return dialog;
}

static const unsigned char *PanelResource(const char *name, LPCSTR type, DWORD *size) {
    static HMODULE module;
    if (module == nullptr)
        module = LoadLibraryExA(g_driver.panelExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = FindResourceA(module, name, type);
    if (resource == nullptr) {
        *size = 0;
        return nullptr;
    }
    *size = SizeofResource(module, resource);
    return static_cast<const unsigned char *>(LockResource(LoadResource(module, resource)));
}

// A name or ordinal field of a dialog template: text, or 0xFFFF and a number.
static const WORD *ReadNameOrOrdinal(const WORD *p, std::string *text, int *ordinal) {
    *ordinal = -1;
    text->clear();
    if (*p == 0xFFFF) {
        *ordinal = p[1];
        return p + 2;
    }
    for (; *p != 0; p++)
        *text += static_cast<char>(*p);
    return p + 1;
}

static const WORD *AlignToDword(const WORD *p) {
    return reinterpret_cast<const WORD *>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
}

#pragma pack(push, 1)
struct TemplateExHeader {
    WORD version, signature;
    DWORD helpId, exStyle, style;
    WORD items;
    short x, y, cx, cy;
};
struct TemplateExItem {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    DWORD id;
};
#pragma pack(pop)

// The text fields of a template's header: menu, class, title, then the font.
struct TemplateText {
    std::string menu, title, font;
    int menuOrd;
    WORD points;
};

// Reads them from p; fontSkip words (the point size and what follows it) precede the font's
// name. Returns where the header ends.
static const WORD *ReadTemplateText(const WORD *p, int fontSkip, TemplateText *text) {
    std::string cls;
    int ord = 0;
    p = ReadNameOrOrdinal(p, &text->menu, &text->menuOrd);
    p = ReadNameOrOrdinal(p, &cls, &ord);
    p = ReadNameOrOrdinal(p, &text->title, &ord);
    text->points = p[0];
    return ReadNameOrOrdinal(p + fontSkip, &text->font, &ord);
}

// The named dialog template as stored with its header's text fields (which start after
// headerBytes; see ReadTemplateText for fontSkip), or nullptr after a failed check. *end is
// where the header ends.
static const unsigned char *DialogTemplate(const char *name, size_t headerBytes, int fontSkip,
                                           TemplateText *text, const WORD **end) {
    DWORD size = 0;
    const unsigned char *data = PanelResource(name, reinterpret_cast<LPCSTR>(RT_DIALOG), &size);
    if (data == nullptr) {
        Check(false, ("\"" + std::string(name) + "\" template in 7340demo.exe").c_str());
        return nullptr;
    }
    *end = ReadTemplateText(reinterpret_cast<const WORD *>(data + headerBytes), fontSkip, text);
    return data;
}

static const char *ClassOfOrdinal(int ordinal) {
    return ordinal == 0x80 ? "Button" : ordinal == 0x82 ? "Static" : "?";
}

// The "Edit" template field by field: the dialog's own header, then every item against the
// control table, in dialog units and with the styles exactly as stored.
void CheckEditTemplate() {
    const DWORD style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                        DS_3DLOOK | DS_SETFONT | DS_CONTEXTHELP;
    TemplateText names;
    const WORD *p = nullptr;
    // The point size, weight, italic and charset precede the font's name.
    const unsigned char *data = DialogTemplate("Edit", sizeof(TemplateExHeader), 3, &names, &p);
    if (data == nullptr)
        return;
    const TemplateExHeader *head = reinterpret_cast<const TemplateExHeader *>(data);
    Check(head->signature == 0xFFFF && head->style == style &&
              head->exStyle == (WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP) && head->x == 0 &&
              head->y == 0 && head->cx == 410 && head->cy == 215 && names.menu.empty() &&
              names.menuOrd == -1 && names.title == "Vantrel 7340" && names.points == 8 &&
              names.font == "MS Sans Serif",
          "\"Edit\": extended template at (0, 0), 410 x 215, \"Vantrel 7340\", 8 pt MS Sans Serif");
    Check(head->items == LAYOUT_COUNT, "\"Edit\" has one item per control",
          std::to_string(head->items));
    int wrong = 0;
    for (int i = 0; i < head->items && i < LAYOUT_COUNT; i++) {
        p = AlignToDword(p);
        const TemplateExItem *item = reinterpret_cast<const TemplateExItem *>(p);
        p = reinterpret_cast<const WORD *>(item + 1);
        std::string itemClass, text;
        int classOrd = 0, textOrd = 0;
        p = ReadNameOrOrdinal(p, &itemClass, &classOrd);
        p = ReadNameOrOrdinal(p, &text, &textOrd);
        WORD extra = *p++;
        p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p) + extra);
        if (classOrd != -1)
            itemClass = ClassOfOrdinal(classOrd);
        const ControlLayout &want = LAYOUT[i];
        DWORD on = want.on;
        if (strcmp(want.cls, "msctls_progress32") == 0)
            on |= WS_BORDER;
        DWORD typeMask = strcmp(want.cls, "Static") == 0 ? SS_TYPEMASK : BS_TYPEMASK;
        bool ok =
            lstrcmpiA(itemClass.c_str(), want.cls) == 0 && static_cast<int>(item->id) == want.id &&
            item->x == want.x && item->y == want.y && item->cx == want.w && item->cy == want.h &&
            (want.text == nullptr || text == want.text) &&
            (want.type == ANY_TYPE || static_cast<int>(item->style & typeMask) == want.type) &&
            (item->style & on) == on && (item->style & want.off) == 0 &&
            (item->exStyle & want.exOn) == want.exOn && (item->style & WS_CHILD) != 0;
        if (!ok) {
            wrong++;
            printf("    item %d: %s \"%s\" id %d at %d,%d %dx%d style 0x%08lx ex 0x%08lx\n", i,
                   itemClass.c_str(), text.c_str(), static_cast<int>(item->id), item->x, item->y,
                   item->cx, item->cy, item->style, item->exStyle);
        }
    }
    Check(wrong == 0, "\"Edit\" items: order, class, caption, identifier, rectangle, styles",
          std::to_string(wrong) + " differ");
}

void CheckHelpTemplate() {
    TemplateText names;
    const WORD *end = nullptr;
    const unsigned char *data = DialogTemplate("Help", 18, 1, &names, &end); // packed DLGTEMPLATE
    if (data == nullptr)
        return;
    const DLGTEMPLATE *head = reinterpret_cast<const DLGTEMPLATE *>(data);
    const DWORD style =
        WS_POPUP | WS_VISIBLE | WS_BORDER | WS_DLGFRAME | DS_CENTERMOUSE | DS_SETFONT | DS_3DLOOK;
    Check(reinterpret_cast<const WORD *>(data)[1] != 0xFFFF && head->style == style &&
              head->dwExtendedStyle == 0 && head->cdit == 0 && head->x == 0 && head->y == 0 &&
              head->cx == 223 && head->cy == 17 && names.title.empty() && names.points == 8 &&
              names.font == "MS Sans Serif",
          "\"Help\": plain template, 223 x 17, no title, no controls, 8 pt MS Sans Serif");
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// "AIcon": 32 x 32 and 16 x 16 in 16 colours, 32 x 32 in 256; "Vantrel": 49 x 13 in 16.
void CheckIcons() {
    struct Expected {
        const char *name;
        int count;
        int sizes[3][3]; // width, height, bits per pixel
    } groups[] = {{"AIcon", 3, {{32, 32, 4}, {16, 16, 4}, {32, 32, 8}}},
                  {"Vantrel", 1, {{49, 13, 4}, {0, 0, 0}, {0, 0, 0}}}};
    for (const Expected &group : groups) {
        DWORD size = 0;
        const unsigned char *data =
            PanelResource(group.name, reinterpret_cast<LPCSTR>(RT_GROUP_ICON), &size);
        bool ok = data != nullptr && reinterpret_cast<const WORD *>(data)[2] == group.count;
        std::string found;
        for (int i = 0; ok && i < group.count; i++) {
            const IconGroupEntry *entry = reinterpret_cast<const IconGroupEntry *>(data + 6) + i;
            found += std::to_string(entry->width) + "x" + std::to_string(entry->height) + "x" +
                     std::to_string(entry->bits) + " ";
            ok = entry->width == group.sizes[i][0] && entry->height == group.sizes[i][1] &&
                 entry->bits == group.sizes[i][2];
        }
        Check(ok, (std::string("icon group \"") + group.name + "\"").c_str(), found);
    }
}
