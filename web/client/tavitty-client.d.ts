// Types of tavitty-client.mjs, the web page's side of the Tavitty scanner daemon.

/** One scan, as the page gets it. */
export interface TavittyScan {
  /**
   * The scan's text as sent, terminator included (a serial scanner's CR LF,
   * CR or LF; HID and keyboard scans have none). From a binary frame: its
   * bytes decoded as `binaryEncoding` says.
   */
  data: string;
  /** The code: `data` without a terminator at its end (CR LF, CR or LF). */
  code: string;
  /** The number of bytes of the scan as the daemon delivered it. */
  size: number;
  /** When the page received it. */
  receivedAt: Date;
  /** True where the scan was not UTF-8 and came in a binary frame. */
  binary: boolean;
  /** The scan's bytes as delivered; only on a scan from a binary frame. */
  bytes?: Uint8Array;
  /**
   * The name of the scanner it came from. Only from a daemon that serves every
   * scanner at once (`<ServeAllScanners>1</ServeAllScanners>`).
   */
  source?: string;
  /** The code's AIM identifier ("]E0", "]Q1"), where that daemon knows it. */
  symbology?: string;
  /**
   * The scan's Id from that daemon, "<run>:<seq>": run 16 hexadecimal digits,
   * new at each start of the daemon, seq 1, 2, 3... for every scan of any
   * scanner in that run. The client delivers each Id once.
   */
  id?: string;
}

/**
 * Scans after `after` (the Id the client resumed from) may never reach the
 * page: the daemon kept them no longer, or it started again.
 */
export interface TavittyGap {
  after: string;
  /** The daemon's words, such as "scans after it are no longer kept; ...". */
  reason: string;
}

/** A beep that a scanner can give. */
export type TavittySignal = "good" | "error" | "not-on-file";

/** What a scanner can be told. */
export interface TavittyAbilities {
  /** The signals it can give (`signal()` of another does nothing). */
  signals: TavittySignal[];
  /**
   * True where it can be told to stop reading. A scanner that can't is
   * disabled all the same: its scans are dropped (it still reads them).
   */
  disable: boolean;
}

/** A scanner that the daemon serves. */
export interface TavittyScanner {
  /** Its name: what `scan.source` says and `subscribe()` takes. */
  source: string;
  kind: "serial" | "hid-pos" | "keyboard";
  /** Its device node, such as "/dev/hidraw1". */
  device: string;
}

/** A scanner of the page's choice opened, or went. */
export interface TavittyScannerEvent extends TavittyScanner {
  event: "added" | "removed";
  /** On "added" only. */
  signals?: TavittySignal[];
  /** On "added" only. */
  disable?: boolean;
}

/** A scanner open now, as `scanners()` lists it. */
export interface TavittyOpenScanner extends TavittyScanner, TavittyAbilities {
  /** Its USB ids, four hexadecimal digits each ("0c2e", "0b87"). */
  vendorId: string;
  productId: string;
}

/**
 * What the client is doing. "blocked": the browser keeps a page from another
 * site away from the daemon (or the daemon is down); "failed": the browser
 * will not open the URL at all, and the client has stopped; "refused": the
 * daemon turned a request down, the hint saying why; "gap": scans may have
 * been lost while the page was away, the hint saying why (as `onGap` hears);
 * "token": the `token` function threw or rejected, or gave no string, the
 * hint saying why (the client asks it again a while later). Neither the
 * token nor any part of it is ever in a status or a hint.
 */
export type TavittyStatus =
  | "connecting"
  | "connected"
  | "disconnected"
  | "blocked"
  | "failed"
  | "waiting for a scanner"
  | "receiving scans"
  | "refused"
  | "gap"
  | "token";

export interface TavittyClientOptions {
  /**
   * The daemon, ws:// or wss://, as it serves. Default:
   * `ws://<the page's host, or localhost>:9010/`.
   */
  url?: string;
  onScan?: (scan: TavittyScan) => void;
  /** The hint, where there is one, says what may be wrong and what to do. */
  onStatus?: (status: TavittyStatus, hint?: string) => void;
  /**
   * A scanner that the page follows (every one, unless it subscribed) opened
   * or went: "added" before its first scan, "removed" after its last. Only
   * from a daemon that serves every scanner at once.
   */
  onScanner?: (event: TavittyScannerEvent) => void;
  /**
   * The client came back (a reconnect, a reload of the tab) after scans that
   * the daemon no longer keeps, or to a daemon that started again since: some
   * scans may never reach the page. Those still kept follow. Only from a
   * daemon that serves every scanner at once.
   */
  onGap?: (gap: TavittyGap) => void;
  /**
   * A TextDecoder label for scans that come in binary frames. Default
   * "gb18030", which reads GBK and GB2312 too. One the browser does not know
   * makes the constructor throw a RangeError.
   */
  binaryEncoding?: string;
  /** The pause before registering again while no scanner is open. Default 1000. */
  registerRetryMs?: number;
  /** The first pause before reconnecting. Default 500, doubled up to reconnectMaxMs. */
  reconnectMinMs?: number;
  /** The longest pause before reconnecting. Default 10000. */
  reconnectMaxMs?: number;
  /**
   * The page's signed token, for a daemon with `<PageTokens>`: a string, or a
   * function that gives one (or a promise of one), such as a fetch from the
   * page's own server. The function is called before each SUBSCRIBE: on
   * every connection, every retry while no scanner is open, `subscribe()`,
   * and when the daemon says the token expired. With a token the client
   * registers with a SUBSCRIBE that carries it, never without it; white space
   * around it is dropped. A function that throws, rejects or gives no string
   * makes the status "token" and is called again a while later (the pause
   * growing as for reconnects), as is one whose token the daemon refused
   * (the status "refused", with the daemon's reason). The constructor throws
   * a TypeError for anything else, or an empty string.
   */
  token?: string | (() => string | Promise<string>);
}

export declare class TavittyClient {
  constructor(options?: TavittyClientOptions);
  readonly url: string;
  readonly binaryEncoding: string;
  /**
   * Connects, registers, and keeps doing so until stop(). The status
   * "connected" comes once it has registered (with a `token` function, once
   * the token came), and again when it registers after its token expired,
   * could not be got or was refused. Once it has delivered a scan with an
   * Id, it subscribes with that Id as `After` on every connection, so that
   * the daemon sends what the page missed; the Id is kept in the tab's
   * sessionStorage (keyed by `url`) where the page may use it, so a reload of
   * the page resumes too, and in memory otherwise.
   */
  start(): void;
  stop(): void;
  /**
   * The scans of these scanners alone (names as `scan.source` gives them,
   * scanners not open yet too); none, or an empty list: every scanner. Sent
   * now where connected, and on every connection after. Throws a RangeError
   * for more than 16 names or a name empty, over 64 bytes (UTF-8) or holding
   * a NUL, a TypeError for anything but a list of strings. Needs a daemon
   * that serves every scanner at once; any other sends every scan, as it
   * always does.
   */
  subscribe(sources?: string[]): void;
  /**
   * The scanners open now, whichever the page follows, sorted by name. Rejects
   * where the client is not connected, or when the connection closes before
   * the answer (a daemon that does not serve every scanner at once never
   * answers).
   */
  scanners(): Promise<TavittyOpenScanner[]>;
  /**
   * Tells a scanner of the page's list to give a signal, where it can (see
   * `signals`; another does nothing): "good" (which also lets a scanner with
   * `<AutoDisable>` read the next item), "error", or "not-on-file" for a code
   * the till does not know. Sent now, never later: false where the client is
   * not connected. Throws a TypeError for a name that is no string, a
   * RangeError for one empty, over 64 bytes (UTF-8) or holding a NUL, or for
   * another kind.
   */
  signal(source: string, kind: TavittySignal): boolean;
  /**
   * Scanning off: these scanners of the page's list (none given: every one of
   * its list, those opened later too; an empty list: none) drop their scans,
   * and stop reading where they can, until `enable()`. Sent now where
   * connected, one DISABLE a name; sent again after every connection (the
   * daemon lets go of it when the page's connection goes) and whenever such a
   * scanner opens again (it starts enabled when plugged in again). Throws as
   * `subscribe()` does.
   */
  disable(sources?: string[]): void;
  /**
   * Scanning on again: these scanners (none given: every one of the page's
   * list, and a scanner that `<AutoDisable>` turned off too; an empty list:
   * none). Cancels `disable()` for them. Throws as `subscribe()` does.
   */
  enable(sources?: string[]): void;
}

/**
 * True where the browser has no reason to hold the page back from the daemon
 * at `url`: the page came from this machine, from no host, or from the
 * daemon's host.
 */
export declare function servedFromDaemonHost(pageHost: string | undefined, url: string): boolean;
