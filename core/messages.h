// Every text the program shows to the user in a message, prompt, progress bar or list cell, in
// one table, so a reviewer or translator reads them top to bottom. Captions of controls stay
// with the window that lays them out.
#pragma once

#include <QString>

namespace Messages {

// The main window.
inline const QString kHelp = QStringLiteral("Results may vary, most PCX files will reduce but not all.");
inline const QString kFileListTip = QStringLiteral(
    "Drag and drop files here. Double-click item to remove it. Move | line to right and out of "
    "window to reveal full names.");
inline const QString kNoFilesAdded = QStringLiteral("No files added.");
// What a screen reader calls the file list and the bar (the colour box takes its frame's
// caption, the results list its own name below).
inline const QString kFileListName = QStringLiteral("PCX files to reduce");
inline const QString kProgressName = QStringLiteral("Progress");
// What each push button does, as its tooltip; a button with a key names it.
inline const QString kTipAddFiles = QStringLiteral("Choose PCX files to add to the list (Ctrl+O)");
inline const QString kTipAddFolder =
    QStringLiteral("Add every file of one extension from a folder and all its subfolders");
inline const QString kTipStart =
    QStringLiteral("Reduce every listed file to the chosen number of colors (Ctrl+Enter)");
inline const QString kTipHelp = QStringLiteral("What to expect from reducing (F1)");
inline const QString kTipSamples = QStringLiteral("Add the sample PCX files that come with Palettrim");
inline const QString kTipClear = QStringLiteral("Remove every file from the list");
inline const QString kTipRemove = QStringLiteral("Remove the selected file from the list (Delete)");
// The file list's context menu: what its palette items do, as their status tips.
inline const QString kTipOnePalette = QStringLiteral(
    "Reduce every listed file to one palette of the chosen number of colors, the same in every "
    "file (Ctrl+Shift+Enter). The files are saved with 8 bits a pixel, so at 16 colors or fewer "
    "they are larger than Start Reducing makes them.");
inline const QString kTipPaletteOfFile = QStringLiteral(
    "Reduce every listed file to the palette of a PCX or palette file, entry for entry "
    "(Ctrl+Shift+P). The files are saved with 8 bits a pixel, so at 16 colors or fewer they are "
    "larger than Start Reducing makes them.");
inline const QString kTipKeyColour = QStringLiteral(
    "The color that becomes index 0, which games show as transparent, in both palette runs; no "
    "other color takes index 0");
// The dither choice, one of three.
inline const QString kTipNoDither = QStringLiteral(
    "No run dithers: flat colors stay flat and the files stay smallest");
inline const QString kTipDither = QStringLiteral(
    "Every run dithers: photos at few colors lose their banding, and the files grow");
inline const QString kTipPatternDither = QStringLiteral(
    "Every run dithers in a fixed pattern: a still part of an animation keeps its pixels from "
    "frame to frame instead of shimmering");
// Choosing a palette file and the key colour.
inline const QString kChoosePaletteTitle = QStringLiteral("Choose the palette");
inline const QString kPaletteFilter =
    QStringLiteral("Palettes (*.pcx *.pal *.gpl *.act)|*.pcx;*.pal;*.gpl;*.act|");
inline const QString kKeyColourTitle = QStringLiteral("Key Colour");
inline const QString kKeyColourNone = QStringLiteral("None");
// A palette file the converter cannot read: %1 the file, %2 the converter's reason.
inline const QString kPaletteRefused =
    QStringLiteral("%1 cannot be used as a palette: %2\n\nNothing was converted.");

// Adding files.
inline const QString kAddFilesTitle =
    QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files");
inline const QString kAddFilesFilter = QStringLiteral("All PCX Files (*.pcx)|*.pcx|");
inline const QString kTooManyFiles = QStringLiteral(
    "You've selected too many files to add.\n\nPlease try adding via the \"Add All\" button.");
inline const QString kExtensionPrompt = QStringLiteral(
    "Enter file extension to load:\n\n"
    "(* for all files, txt for all txt files, doc for all doc files, etc.)");
inline const QString kSelectFolder = QStringLiteral("Please select folder:");
// The folder browser's tree, and the line under it that shows and takes a folder's path.
inline const QString kFolderTreeName = QStringLiteral("Folders");
inline const QString kFolderFieldLabel = QStringLiteral("&Folder:");
inline const QString kFolderFieldName = QStringLiteral("Folder");
// Making a folder inside the selected one, from the folder browser.
inline const QString kNewFolderButton = QStringLiteral("&New Folder");
inline const QString kTipNewFolder = QStringLiteral("Make a folder inside the selected one (Ctrl+Shift+N)");
inline const QString kNewFolderPrompt = QStringLiteral("Name of the new folder:");
// The name proposed; a number follows it when a folder of that name is there already.
inline const QString kNewFolderName = QStringLiteral("New Folder");
// %1 the typed name, %2 one of the reasons below or the system's own.
inline const QString kNewFolderFailed = QStringLiteral("The folder \"%1\" could not be made.\n\n%2");
inline const QString kNewFolderExists =
    QStringLiteral("A file or folder of that name is already there.");
inline const QString kNewFolderSlash = QStringLiteral("A folder name cannot contain \"/\".");
inline const QString kNewFolderDots =
    QStringLiteral("\".\" and \"..\" name folders that are always there.");
inline const QString kOpenSamplesFolder = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");
// "Yes" to the question above where no file manager could be started: %1 the samples folder.
inline const QString kNoFileManager = QStringLiteral(
    "No file manager could be started to show the sample files. They are in:\n\n%1");

// The progress bar.
inline const QString kBarAtRest = QStringLiteral("Progress Bar");
inline const QString kBarProcessing = QStringLiteral("Processing: ");
inline const QString kBarPleaseWait = QStringLiteral("Please wait.. ");
// Before the files of a run to one palette: file %1 of %2 is read for its colours; then the
// palette of file %1 holds %2 entries.
inline const QString kBarGathering = QStringLiteral("Gathering colours: %1 of %2");
inline const QString kBarPaletteOf = QStringLiteral("Palette of %1: %2 entries");
inline const QString kBarPaletteOfOne = QStringLiteral("Palette of %1: 1 entry");
// The bar's tooltip and description for a screen reader while a run converts file %1 of %2.
inline const QString kBarFileOfCount = QStringLiteral("File %1 of %2\nEscape stops the run");

// Why a run converted nothing: the work folder (%1) is no safe or usable place. %2 is the
// folder on its path that others could change, or the system's reason.
inline const QString kWorkFolderOpenToOthers = QStringLiteral(
    "The work folder %1 is not safe: other users may change the folder %2, so nothing was "
    "converted. Set TEMP to a folder of your own.");
inline const QString kWorkFolderOthersOwn = QStringLiteral(
    "The work folder %1 is not safe: the folder %2 belongs to another user, so nothing was "
    "converted. Set TEMP to a folder of your own.");
inline const QString kWorkFolderFull =
    QStringLiteral("The work folder %1 is full, so nothing was converted.");
inline const QString kWorkFolderNotWritable =
    QStringLiteral("The work folder %1 cannot be written (%2), so nothing was converted.");
inline const QString kWorkFolderNoExec = QStringLiteral(
    "The work folder %1 is on a file system that lets no program run (mounted noexec), so "
    "nothing was converted. Set TEMP to a folder of your own where programs may run.");
// %1 the work folder, %2 the converter in it.
inline const QString kConverterOfAnotherUser = QStringLiteral(
    "The work folder %1 holds another user's converter %2, which cannot be replaced, so nothing "
    "was converted. Set TEMP to a folder of your own.");

// The results window.
inline const QString kResultsName = QStringLiteral("Results");
inline const QString kTipBrowse = QStringLiteral("Choose the folder to save into");
inline const QString kTipBack =
    QStringLiteral("Back to the file list; reduced files you have not saved are discarded");
inline const QString kTipSave =
    QStringLiteral("Save the reduced files into the folder above (Ctrl+S)");
inline const QString kTipSaveTree = QStringLiteral(
    "Save the reduced files into the folder above, each in the subfolders it was added from, as a "
    "game looks them up (Ctrl+Shift+S)");
inline const QString kFailToReduce = QStringLiteral("Fail to reduce");
// Why a row the user stopped before its conversion reads "Fail to reduce".
inline const QString kRunStopped = QStringLiteral("stopped");
inline const QString kFolderDoesNotExist =
    QStringLiteral("Folder does not exist. Please select another folder.");
inline const QString kDone = QStringLiteral("Done.");
// The end of a save that wrote no file.
inline const QString kNoFileSaved = QStringLiteral("No file was saved.");
// The output folder (%1) cannot take a file; %2 the system's reason.
inline const QString kSaveFolderNotWritable =
    QStringLiteral("The folder %1 cannot be written (%2), so nothing was saved.");
inline const QString kSaveFolderFull = QStringLiteral("The folder %1 is full, so nothing was saved.");
// Why a row reads "Fail to reduce" when the converter gave no reason of its own.
inline const QString kConverterNotStarted = QStringLiteral("The converter could not be started: %1");
inline const QString kConverterWroteNothing =
    QStringLiteral("The converter wrote no file (exit code %1).");
// %1 the signal's number, %2 the system's name for it ("Segmentation fault").
inline const QString kConverterKilled = QStringLiteral("stopped by signal %1 (%2)");
// A row that could not be saved: %1 the user's input file, %2 one of the reasons below.
inline const QString kRowNotSaved = QStringLiteral("%1 was not saved: %2");
inline const QString kReductionFailed = QStringLiteral("its reduction failed (%1)");
inline const QString kNoFileName = QStringLiteral("its path names no file");
inline const QString kSameNameSaved =
    QStringLiteral("another file of the same name was saved as %1 a moment ago");
inline const QString kSameFileSaved =
    QStringLiteral("%1 is the same file as %2, saved for another row a moment ago");
// A row's subfolder under the output folder that cannot take its copy: %1 the subfolder.
inline const QString kSubfolderInTheWay =
    QStringLiteral("%1 is in the way: it is not a folder, and is left as it is");
inline const QString kSubfolderNotMade = QStringLiteral("the folder %1 cannot be made (%2)");
inline const QString kSubfolderOutside =
    QStringLiteral("the folder %1 leads out of the folder saved into, through a link");
inline const QString kSubfolderUnsafe = QStringLiteral("its path below the folder it was added from is unusable");
inline const QString kInputOfAnotherRow =
    QStringLiteral("%1 is the input file of another row of this run");
inline const QString kCannotRead = QStringLiteral("cannot read %1: %2");
inline const QString kCannotWrite = QStringLiteral("cannot write %1: %2");
// %1 the link a target is, %2 the file it leads to.
inline const QString kCannotWriteThroughLink =
    QStringLiteral("cannot write %2, where the link %1 leads: %3");
// A target that saving does not replace: %1 the target, %2 one of the kinds below.
inline const QString kTargetNotAFile = QStringLiteral("%1 is %2, not a file, and is left as it is");
inline const QString kTargetLinkNotToAFile =
    QStringLiteral("%1 is a link to %2, not to a file, and is left as it is");
inline const QString kTargetLinkBroken =
    QStringLiteral("%1 is a link that leads to no file (%2), and is left as it is");
inline const QString kKindFolder = QStringLiteral("a folder");
inline const QString kKindPipe = QStringLiteral("a named pipe");
inline const QString kKindDevice = QStringLiteral("a device");
inline const QString kKindSocket = QStringLiteral("a socket");

// The error report.
inline const QString kErrorCaption = QStringLiteral("Application Error");
inline const QString kErrorMailRequest = QStringLiteral("Please email screenshot of this message to ");

// What the error report says went wrong, as its first line.
inline const QString kUnknownError = QStringLiteral("Unknown error");
inline const QString kInvalidCall = QStringLiteral("Invalid procedure call or argument");
inline const QString kInvalidPicture = QStringLiteral("Invalid picture");
// %1 a path, %2 the system's reason.
inline const QString kFileNotWritten = QStringLiteral("Cannot write %1: %2");
// %1 the settings file.
inline const QString kSettingsUnreadable = QStringLiteral("Cannot read the settings file %1");
inline const QString kSettingsUnwritable = QStringLiteral("Cannot write the settings file %1");
inline const QString kNoSuchSetting = QStringLiteral("No setting is named %1");
inline const QString kSkinUnreadable = QStringLiteral("Cannot read the skin file %1: %2");
inline const QString kIconMissing = QStringLiteral("The application icon is missing from the program");
inline const QString kWebPageNotOpened = QStringLiteral("Cannot open %1 in the web browser");
// %1 the stored text, %2 the last position.
inline const QString kBadColourChoice =
    QStringLiteral("The saved colour choice \"%1\" is not a number from 0 to %2");
inline const QString kBadSampleCharacter = QStringLiteral("Invalid character in the sample list");
// The work folder and the converter in it; %1 a folder or the converter, %2 the reason.
inline const QString kNoTempFolder = QStringLiteral(
    "No folder for temporary files: TEMP is not set and the user has no cache folder.");
inline const QString kCannotCreateFolder = QStringLiteral("Cannot create the folder %1.");
inline const QString kCannotCreateWorkFolder = QStringLiteral("Cannot create the work folder %1: %2");
inline const QString kCannotUseWorkFolder = QStringLiteral("Cannot use the work folder %1: %2");
inline const QString kWorkFolderNotOwn = QStringLiteral("The work folder %1 is not a folder of your own.");
inline const QString kConverterMissing = QStringLiteral("The converter is missing from the program.");
inline const QString kConverterNotOurs = QStringLiteral(
    "The converter %1 is not this program's own and cannot be replaced, so nothing was "
    "converted. %2");
inline const QString kNoFreeFileName = QStringLiteral("No free file name in %1.");

// The results list's tooltips: each row's original and reduced picture.
inline const QString kPreparingPreview = QStringLiteral("Preparing preview...");
inline const QString kPreviewOriginal = QStringLiteral("Original");
inline const QString kPreviewReduced = QStringLiteral("Reduced");
inline const QString kPreviewOneColour = QStringLiteral("1 color");
inline const QString kPreviewColours = QStringLiteral("%1 colors");
// Colour count, size text.
inline const QString kPreviewCaption = QStringLiteral("%1, %2");
inline const QString kPreviewSmaller = QStringLiteral("-%1%");
inline const QString kPreviewLarger = QStringLiteral("+%1%, larger than the original");
inline const QString kPreviewSameSize = QStringLiteral("0%, the same size as the original");
// Stands for the percent of a change that rounds to nothing.
inline const QString kPreviewUnderOnePercent = QStringLiteral("<1");
inline const QString kPreviewNoPicture = QStringLiteral("No picture: %1");
// How a copy was made beyond its colour count: one palette for %1 files, the palette of file
// %1; each may be followed by the dithering.
inline const QString kMadeShared = QStringLiteral("One palette for %1 files, 8-bit");
inline const QString kMadeSharedOne = QStringLiteral("One palette for 1 file, 8-bit");
inline const QString kMadeGiven = QStringLiteral("Palette of %1");
inline const QString kMadeDithered = QStringLiteral("dithered");
inline const QString kMadeDitheredAlone = QStringLiteral("Dithered");
inline const QString kMadePatternDithered = QStringLiteral("pattern-dithered");
inline const QString kMadePatternDitheredAlone = QStringLiteral("Pattern-dithered");
inline const QString kPreviewFileGone = QStringLiteral("the file is not there");
inline const QString kPreviewNotRegular = QStringLiteral("not a regular file");
inline const QString kPreviewUnreadable = QStringLiteral("the file cannot be read");

}  // namespace Messages
