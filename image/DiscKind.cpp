#include "image/DiscKind.h"

#include <utility>

namespace kestrel {

std::string carriedText(const VolumeFeatures& features) {
    std::string carried;
    const std::string udf = features.udfRevision.empty() ? "UDF" : features.udfRevision;
    for (const auto& [has, name] :
         {std::pair{features.joliet, "Joliet"}, std::pair{features.rockRidge, "Rock Ridge"},
          std::pair{features.elTorito, "El Torito"}, std::pair{features.udf, udf.c_str()}}) {
        if (has) {
            carried += (carried.empty() ? "" : ", ") + std::string(name);
        }
    }
    return carried.empty() ? "ISO 9660" : "ISO 9660 - " + carried;
}

std::string discKindText(const Volume& volume, bool dualLayer, bool layerOne) {
    if (dualLayer) {
        return layerOne ? "Dual-Layer DVD (DVD9) - Layer 1" : "Dual-Layer DVD (DVD9) - Layer 0";
    }
    if (volume.udfOnly) {
        return volume.features.udfRevision.empty() ? "UDF" : volume.features.udfRevision;
    }
    if (volume.layout == LayoutKind::Descriptor) {
        return carriedText(volume.features);
    }
    return volume.isDvd ? "Single-Layer DVD (DVD5)" : "CD-ROM";
}

}  // namespace kestrel
