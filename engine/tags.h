// The TIFF, Exif and maker-note tags the engine reads or writes, by name.
// Values are the formats' own; a name says what the tag holds where the engine
// meets it (a maker note's tag numbers mean something only in that maker's
// note).
#pragma once

#include <cstdint>

namespace engine {
namespace tag {

// --- TIFF image directories (IFD0, IFD1, SubIFDs) ---
constexpr uint16_t kPanasonicSensorWidth = 2;   // RW2: the sensor's width
constexpr uint16_t kPanasonicSensorHeight = 3;  // RW2: the sensor's height
constexpr uint16_t kPanasonicIso = 23;          // RW2: the ISO speed (SHORT)
constexpr uint16_t kNewSubfileType = 254;
constexpr uint16_t kImageWidth = 256;
constexpr uint16_t kImageHeight = 257;
constexpr uint16_t kBitsPerSample = 258;
constexpr uint16_t kCompression = 259;
constexpr uint16_t kPhotometric = 262;
constexpr uint16_t kImageDescription = 270;
constexpr uint16_t kMake = 271;
constexpr uint16_t kModel = 272;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kOrientation = 274;
constexpr uint16_t kSamplesPerPixel = 277;
constexpr uint16_t kStripByteCounts = 279;
constexpr uint16_t kXResolution = 282;
constexpr uint16_t kYResolution = 283;
constexpr uint16_t kPlanarConfiguration = 284;
constexpr uint16_t kGrayResponseCurve = 291;
constexpr uint16_t kResolutionUnit = 296;
constexpr uint16_t kSoftware = 305;
constexpr uint16_t kDateTime = 306;
constexpr uint16_t kArtist = 315;
constexpr uint16_t kTileOffsets = 324;
constexpr uint16_t kTileByteCounts = 325;
constexpr uint16_t kSubIfds = 330;
constexpr uint16_t kSarnoffMark = 400;  // only Sarnoff's files carry it
constexpr uint16_t kJpegOffset = 513;   // JPEGInterchangeFormat
constexpr uint16_t kJpegLength = 514;   // JPEGInterchangeFormatLength
constexpr uint16_t kCopyright = 33432;
constexpr uint16_t kModel2 = 33405;          // a second model name (Kodak)
constexpr uint16_t kKodakDirectory = 33424;  // Kodak's private directory
constexpr uint16_t kExposureTime = 33434;
constexpr uint16_t kFNumber = 33437;
constexpr uint16_t kLeafMark = 34303;     // only Leaf's files carry it
constexpr uint16_t kLeafPackets = 34310;  // Leaf's MOS packet chain
constexpr uint16_t kExifPointer = 34665;
constexpr uint16_t kGpsPointer = 34853;
constexpr uint16_t kIsoSpeed = 34855;
constexpr uint16_t kDateTimeOriginal = 36867;
constexpr uint16_t kDateTimeDigitized = 36868;
constexpr uint16_t kShutterSpeedValue = 37377;  // APEX
constexpr uint16_t kApertureValue = 37378;      // APEX
constexpr uint16_t kFocalLength = 37386;
constexpr uint16_t kImageNumber = 37393;
constexpr uint16_t kMakerNote = 37500;
constexpr uint16_t kPixelXDimension = 40962;
constexpr uint16_t kPixelYDimension = 40963;
constexpr uint16_t kInteropPointer = 40965;
constexpr uint16_t kImaconRawData = 46275;  // Imacon: the raw data
constexpr uint16_t kImaconBlock = 46279;    // Imacon: geometry, white balance, rotation
constexpr uint16_t kEmbeddedTiff = 50459;   // a complete TIFF header of its own
constexpr uint16_t kDngVersion = 50706;
constexpr uint16_t kCfaLayout = 50711;  // DNG: 2 for a 45-degree sensor
constexpr uint16_t kLinearizationTable = 50712;
constexpr uint16_t kDngPrivateData = 50740;  // outside DNG: a Minolta block list
constexpr uint16_t kActiveArea = 50829;
constexpr uint16_t kSinarRawData = 64772;   // Sinar: where the raw data lies
constexpr uint16_t kPadding = 0xEA1C;       // filler some writers reserve
constexpr uint16_t kOffsetSchema = 0xEA1D;  // an offset into the writer's own file

// --- Panasonic's own tags in its 0x55 TIFF variant (RW2, RWL) ---
constexpr uint16_t kPanasonicCompression = 0x000B;
constexpr uint16_t kPanasonicJpgFromRaw = 0x002E;

// --- Maker notes: one switch reads every maker's note, so a number names
// what it holds in the notes that use it ---
constexpr uint16_t kNoteIso = 0x0002;               // Nikon: ISO (second SHORT)
constexpr uint16_t kNotePreviewLength = 0x0003;     // later Pentax: preview length (LONG)
constexpr uint16_t kNoteShotInfo = 0x0004;          // Canon shot info; later Pentax: preview start
constexpr uint16_t kNoteShotOrder = 0x0008;         // a LONG image number
constexpr uint16_t kNoteOwnerName = 0x0009;         // Canon: the owner's name
constexpr uint16_t kNoteUniqueId = 0x0010;          // a LONG model id
constexpr uint16_t kNotePreviewDirectory = 0x0011;  // Nikon: the preview IFD
constexpr uint16_t kNoteModel = 0x0015;             // a model name (ASCII)
constexpr uint16_t kNoteRawOrPreview = 0x0081;      // LONG: raw data; UNDEFINED: a preview
constexpr uint16_t kNotePreviewData = 0x0100;       // UNDEFINED: a preview's bytes
constexpr uint16_t kNotePreviewBytes = 0x0280;      // BYTE: a preview's bytes
constexpr uint16_t kNotePreviewStart = 0x0088;      // LONG: a preview's offset
constexpr uint16_t kNotePreviewLength2 = 0x0089;    // LONG: its length
constexpr uint16_t kNoteShotNumbers = 0x0200;       // three LONGs, the second the image number
constexpr uint16_t kNoteCaptureNote = 0x0E01;       // Nikon Capture's edit record
constexpr uint16_t kNoteCameraSettings = 0x2020;    // Olympus: the preview sub-directory
constexpr uint16_t kNoteOlympusSubdirectory = 0x2040;  // Olympus: a note inside the note
constexpr uint16_t kNoteMinoltaPreview = 0xB028;       // the preview sub-directory (a pointer)
// Inside the preview sub-directories: start and length.
constexpr uint16_t kCameraSettingsPreviewStart = 257;
constexpr uint16_t kCameraSettingsPreviewLength = 258;
constexpr uint16_t kMinoltaPreviewStart = 136;
constexpr uint16_t kMinoltaPreviewLength = 137;

// --- Kodak's private directory ---
constexpr uint16_t kKodakLinearization = 2317;
constexpr uint16_t kKodakIso = 6020;

}  // namespace tag
}  // namespace engine
