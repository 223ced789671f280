#pragma once

#include <memory>
#include <string>
#include <vector>

class GC_Controller;
class GC_Container;
class GC_Object;

// How a card lays out its keys, certificates, data objects and PINs: turns card files into
// containers and reads, writes and deletes objects. A card controller owns exactly one layout;
// every file access goes through the card session given at construction.
//
// This base class is the layout of cards of no known generation: every operation answers -1101
// (not supported) and leaves its arguments alone. GC_DataPKCS15 is the real layout.
class GC_Data {
public:
    // controller: the card session (not owned); never changed afterwards.
    explicit GC_Data(GC_Controller* controller);
    virtual ~GC_Data();

    GC_Data(const GC_Data&) = delete;
    GC_Data& operator=(const GC_Data&) = delete;

    // Appends the containers of the card to containers.
    virtual int getContainers(std::vector<std::shared_ptr<GC_Container>>& containers);
    // Reads the contents of the listed objects from the card into them.
    virtual int readObjects(std::vector<GC_Object*>& objects);
    // Removes the object from the card and from the layout; it must not be used afterwards.
    virtual int deleteObject(GC_Object* object);
    // Writes a new object described by templ for container; out receives the object that the
    // layout now holds for it.
    virtual int createObject(GC_Object* templ, GC_Container* container, GC_Object** out);
    // Re-initialises the container on the card, using text.
    virtual int initContainer(std::shared_ptr<GC_Container>& container, std::string text);

protected:
    GC_Controller* controller;
};
