#include "CVelmoUpdatorApp.h"

CVelmoUpdatorApp::CVelmoUpdatorApp(RefusalStep showRefusal, MainWindowStep runMainWindow)
    : m_showRefusal(std::move(showRefusal)), m_runMainWindow(std::move(runMainWindow)) {}

std::string CVelmoUpdatorApp::RefusalMessage() {
    return InstanceRefusalMessage();
}

InstanceClaim CVelmoUpdatorApp::ClaimInstanceNumber() {
    const InstanceClaim claim = ::ClaimInstanceNumber(m_markerScope);
    m_hInstanceMutex = claim.handle;
    m_instanceNumber = claim.number;
    return claim;
}

bool CVelmoUpdatorApp::InitInstance() {
    // The image first: a program without it can update nothing, and takes no number.
    if (m_loadImage) {
        std::string error;
        m_pImage = m_loadImage(error);
        if (m_pImage == nullptr) {
            if (m_showStartError) m_showStartError(error);
            return false;
        }
    }
    const InstanceClaim claim = ClaimInstanceNumber();
    if (claim.error != 0) {
        // Not a twenty-first copy: the number could not be claimed at all, and the user hears why.
        if (m_showStartError) m_showStartError(InstanceClaimErrorMessage(claim));
        return false;
    }
    if (claim.number == 0) {
        if (m_showRefusal) m_showRefusal(RefusalMessage());
        return false;
    }
    if (m_runMainWindow) m_runMainWindow();
    // The window has closed: its number is free for a new copy at once, though the process may
    // take a moment longer to end.
    CloseInstanceMarker(m_hInstanceMutex);
    m_hInstanceMutex = NO_INSTANCE_MARKER;
    return false;
}
