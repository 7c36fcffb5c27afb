#pragma once

namespace tolvane {

class InputRowsView;

// What assistive technology sees of the input list: a list with one item per input, named by the
// input, and in each item its remove button, "<name> 제거", which removes that input when pressed.
// The rows and their buttons are drawn, not widgets, so they are told here. Called once the view
// is built.
void tellRowsToAssistiveTechnology(InputRowsView& view);

}  // namespace tolvane
