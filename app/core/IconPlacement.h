// Where the window draws its icon while it is minimised: centred in the client area, the odd
// pixel going to the right and bottom, the way the classic dialog did it.
#pragma once

struct IconOrigin {
    int x;
    int y;
};

// (client - icon + 1) / 2 in each direction, truncated toward zero (negative when the icon is
// larger than the client area).
constexpr IconOrigin CenteredIconOrigin(int clientWidth, int clientHeight, int iconWidth,
                                        int iconHeight) {
    return IconOrigin{(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}
