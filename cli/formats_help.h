// What the commands read, for their help texts.
#pragma once

namespace cli {

const char kFormatsHelp[] =
    "Camera files read: NEF, NRW (Nikon), CR2, CR3, CRW (Canon), ARW, SRF, SR2\n"
    "(Sony), RAF (Fujifilm, FinePix, X and GFX), RW2, RWL (Panasonic, Leica), ORF,\n"
    "ORI (Olympus, OM System), PEF, PTX (Pentax, Ricoh), DNG (any maker, phones\n"
    "included), SRW (Samsung), MRW (Minolta), X3F (Sigma), KDC, DCR (Kodak), ERF\n"
    "(Epson), MOS, IIQ (Leaf, Phase One) and the RAW files of older compacts. A\n"
    "folder's RAW files are those whose names end in one of RAF CRW CR2 CR3 KDC DCR\n"
    "MRW NEF NRW ORF ORI DNG PTX PEF ARW SRF SR2 SRW RW2 RWL X3F ERF MOS IIQ RAW\n"
    "(in any case).\n";

}  // namespace cli
