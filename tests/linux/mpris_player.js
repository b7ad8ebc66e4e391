// A media player as gsd-media-keys sees one: it takes the play, stop, next
// and previous keys as calls of its own and appends the key's keysym to the
// file it is given, one line per call.
// Usage: gjs mpris_player.js FIRED NAME
const {Gio, GLib} = imports.gi;

const [fired, name] = ARGV;

const XML = `<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="PlayPause"/>
    <method name="Play"/>
    <method name="Pause"/>
    <method name="Stop"/>
    <method name="Next"/>
    <method name="Previous"/>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="CanControl" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
  </interface>
</node>`;

// Play and PlayPause both answer the play key, whichever gsd chooses to call.
const KEYSYMS = {
    PlayPause: 'XF86AudioPlay',
    Play: 'XF86AudioPlay',
    Stop: 'XF86AudioStop',
    Next: 'XF86AudioNext',
    Previous: 'XF86AudioPrev',
};

function append(line) {
    const stream = Gio.File.new_for_path(fired).append_to(Gio.FileCreateFlags.NONE, null);
    stream.write_all(`${line}\n`, null);
    stream.close(null);
}

const root = {
    Raise() {},
    Quit() {},
    CanQuit: false,
    CanRaise: false,
    HasTrackList: false,
    Identity: 'mediakey test player',
    SupportedUriSchemes: [],
    SupportedMimeTypes: [],
};

// Always playing and able to do everything, so gsd picks it and never finds
// a key it would not send.
const player = {
    PlaybackStatus: 'Playing',
    CanControl: true,
    CanPlay: true,
    CanPause: true,
    CanGoNext: true,
    CanGoPrevious: true,
    CanSeek: false,
    Pause() {},
};
for (const [method, keysym] of Object.entries(KEYSYMS))
    player[method] = () => append(keysym);

const nodeInfo = Gio.DBusNodeInfo.new_for_xml(XML);
const exported = [
    Gio.DBusExportedObject.wrapJSObject(nodeInfo.interfaces[0], root),
    Gio.DBusExportedObject.wrapJSObject(nodeInfo.interfaces[1], player),
];
const loop = new GLib.MainLoop(null, false);
Gio.bus_own_name(Gio.BusType.SESSION, `org.mpris.MediaPlayer2.${name}`,
    Gio.BusNameOwnerFlags.NONE,
    connection => exported.forEach(e => e.export(connection, '/org/mpris/MediaPlayer2')),
    null, () => loop.quit());
loop.run();
