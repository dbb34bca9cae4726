// Redirects one import of this executable for the life of an object: to make a platform call
// fail that cannot be made to fail otherwise, or to see the calls the program makes.
#pragma once

#include <windows.h>

#include <cstring>

// Redirects this executable's import of `function` from `module`; `slot` stays null when the
// executable does not import it. `original` is where the import led before, for a replacement
// that passes the call on.
struct ImportOverride {
    void** slot = nullptr;
    void* original = nullptr;

    ImportOverride(const char* module, const char* function, void* replacement) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; descriptor->Name != 0; ++descriptor) {
            if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), module) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
            auto* targets = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++targets) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) != 0) continue;
                slot = reinterpret_cast<void**>(&targets->u1.Function);
            }
        }
        if (slot == nullptr) return;
        original = *slot;
        write(replacement);
    }
    ~ImportOverride() {
        if (slot != nullptr) write(original);
    }
    ImportOverride(const ImportOverride&) = delete;
    ImportOverride& operator=(const ImportOverride&) = delete;

private:
    void write(void* target) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = target;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }
};
