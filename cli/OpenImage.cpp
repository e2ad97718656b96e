#include "cli/OpenImage.h"

#include <iostream>

namespace kestrel::cli {

Result<Session> openImage(const std::string& imagePath, unsigned layer) {
    auto session = Session::open(imagePath);
    if (!session) {
        return session.error();
    }
    for (const auto& note : session->recoveryNotes()) {
        std::cerr << "kestrel-cli: " << note << '\n';
    }
    if (layer == 0) {
        return session;
    }
    using enum DualLayerCheck::Verdict;
    const auto check = session->mayHaveSecondLayer() ? session->checkDualLayer()
                                                     : DualLayerCheck{SingleLayer, std::nullopt};
    if (check.error) {
        return *check.error;
    }
    if (check.verdict != DualLayer && check.verdict != CopyAlreadyMade) {
        return Error{ErrorKind::NotFound, imagePath + " has no second layer"};
    }
    if (auto switched = session->switchLayers(); !switched) {
        return switched.error();
    }
    return session;
}

}  // namespace kestrel::cli
