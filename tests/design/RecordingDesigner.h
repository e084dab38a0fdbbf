// A designer that counts Modified calls, over a form of the test's own.
#pragma once

#include "designer/PropertyEditor.h"

struct RecordingDesigner : designer::IFormDesigner {
    explicit RecordingDesigner(host::TComponent &root) : root(root) {}
    void Modified() override { ++modified; }
    host::TComponent &Root() override { return root; }

    host::TComponent &root;
    int modified = 0;
};
