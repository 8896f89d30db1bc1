// Whether an extension's file type belongs to the player: asks the desktop which application it opens
// the extension's MIME types with (the shared MIME database and the mimeapps.list defaults).
#pragma once

#include <string>

namespace setup {
class MimeDatabase;
}

namespace player {

class TRegExt {
public:
    TRegExt(std::string ext, std::string fileGroup);

    // 0: the desktop opens every type of the extension with the expected file group's application;
    // 1: the extension is empty, has no known type, or no type has a default application;
    // 2: some type of it opens with another application.
    // The file group "Product.EXT" (FFileGroup, or the bare extension followed by "file" when that is
    // empty) stands for the application "product.desktop".
    int CheckExtension();
    // The same against a database already loaded (loading it reads every MIME glob file of the system).
    int CheckExtension(const setup::MimeDatabase& database);

    std::string FExt;
    std::string FFileGroup;
};

}  // namespace player
