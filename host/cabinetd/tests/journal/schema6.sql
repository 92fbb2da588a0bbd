-- A journal as cabinetd left it at schema version 6 (hash chain format 1),
-- made by that version's code and dumped with sqlite3 .dump: a front pruned
-- for age (the chain's base moved, record 16 names it), line traffic pruned
-- for size (31 tombstones, among them a refusal and the ack and command of
-- a refused open), an accepted open settled by its ack.
PRAGMA page_size=1024;
PRAGMA journal_mode=WAL;
BEGIN TRANSACTION;
CREATE TABLE journal (
    cursor     INTEGER PRIMARY KEY AUTOINCREMENT,
    at_ms      INTEGER NOT NULL,
    cabinet    TEXT NOT NULL,
    kind       TEXT NOT NULL,
    session_id TEXT NOT NULL DEFAULT '',
    event_seq  INTEGER,
    seq_to     INTEGER,
    code       TEXT NOT NULL DEFAULT '',
    request_id TEXT NOT NULL DEFAULT '',
    door_id    INTEGER NOT NULL DEFAULT 0,
    detail     TEXT NOT NULL DEFAULT '',
    key_scope  TEXT NOT NULL DEFAULT '',
    client_key TEXT NOT NULL DEFAULT '',
    uptime_ms  INTEGER,
    requested_by TEXT NOT NULL DEFAULT ''
, link INTEGER, hash BLOB, outcome TEXT NOT NULL DEFAULT '', settles INTEGER);
INSERT INTO journal VALUES(5,1796784994826,'lab','session','E6613852832F4A29-0000000000000001',NULL,NULL,'first','',3,'','','',NULL,'',5,X'db14c3a4ca677987936b1c78ad54ce7dd6c7eec6647eb885fda69b6e4d843585','',NULL);
INSERT INTO journal VALUES(6,1796784994827,'lab','event','E6613852832F4A29-0000000000000001',7,NULL,'door_open','',3,'','','',5000,'',6,X'db363ee44a764bc89d0955f792c18224271a4da3d8b450f64ae3658155d3982d','',NULL);
INSERT INTO journal VALUES(7,1796784994828,'lab','open','E6613852832F4A29-0000000000000001',NULL,NULL,'','r-1',3,'{"requested_by":"ops","pulse_ms":500,"ttl_ms":3000}','','',NULL,'ops',7,X'536df837597a78f784008e635432e2876bb4c3143b4e6cb8208620ad7d145890','',NULL);
INSERT INTO journal VALUES(8,1796784994829,'lab','command','E6613852832F4A29-0000000000000001',NULL,NULL,'open','r-1',3,'OPEN r-1','','',NULL,'',8,X'70dcbc3ab66ef87bbca730f2e8f0eb0deaec0eb50467b123aabc602582cd352b','',NULL);
INSERT INTO journal VALUES(9,1796784994830,'lab','ack','E6613852832F4A29-0000000000000001',NULL,NULL,'accepted','r-1',3,'','','',NULL,'',9,X'5b562260ae139541c0ab1534a230ce4ae3849fa14607df29e8b67cb734198800','accepted',7);
INSERT INTO journal VALUES(10,1796784994831,'lab','open','E6613852832F4A29-0000000000000001',NULL,NULL,'','r-2',3,'{"requested_by":"eve","pulse_ms":500,"ttl_ms":3000}','','',NULL,'eve',10,X'a7e150e32c4635d59879421b894da19da260e565228aee1797f3300c325b668a','',NULL);
INSERT INTO journal VALUES(14,1796784994835,'lab','alarm','E6613852832F4A29-0000000000000001',NULL,NULL,'forced_open','',3,'{"state":"raised","text":"door 3 forced","alarm_id":"a1"}','','',NULL,'',14,X'de41a1ab3979bfba8c57d7d1eaaecff5b10ef8e82af1cbb463efac42ff00cc35','',NULL);
INSERT INTO journal VALUES(15,1796784994836,'lab','alarm','E6613852832F4A29-0000000000000001',NULL,NULL,'forced_open','',3,'{"state":"acknowledged","by":"ops","alarm_id":"a1"}','','',NULL,'ops',15,X'8947ddca6aeb7b0aae976f91c02438766a2b1942c1b1e5e6cd0e11a51ec82654','',NULL);
INSERT INTO journal VALUES(16,1796784994841,'','journal','',NULL,NULL,'pruned','',0,'{"records":4,"up_to_cursor":4,"up_to_ms":1700000000003,"why":"age","max_bytes":0,"retention_days":0,"anchor":"4:167b0126fb6c1f0c9019c9fb5000370bb9a56c56ad662f03d3fb6eea9e60abbf"}','','',NULL,'',16,X'2080f73f355361ddc42d9bdef9839cba7f79b8275a3a75a8dc440a3686a67d06','',NULL);
INSERT INTO journal VALUES(45,1796784994876,'lab','heartbeat','E6613852832F4A29-0000000000000001',NULL,NULL,'ok','',0,'{"reason":"first heartbeat acknowledged"}','','',NULL,'',45,X'ac77a0ab74dd6a293de2a457583f6fe8698cf911040328bd2a05fd69fe8eb0db','',NULL);
INSERT INTO journal VALUES(46,1796784994876,'lab','link','E6613852832F4A29-0000000000000001',NULL,NULL,'up','',3,'{"pad":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}','','',NULL,'',46,X'2ba6427af922e25a91f4121ff4f6e33d9b3368ef2907c12f8b36165ac6b8914a','',NULL);
INSERT INTO journal VALUES(47,1796784994876,'lab','state','E6613852832F4A29-0000000000000001',NULL,NULL,'idle','',3,'{"pad":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}','','',NULL,'',47,X'8af91476befedb88798a25210ab08e295dc48c39112bde2300d1ebb0ea53c04e','',NULL);
INSERT INTO journal VALUES(48,1796784994876,'lab','heartbeat','E6613852832F4A29-0000000000000001',NULL,NULL,'ok','',0,'{"reason":"first heartbeat acknowledged"}','','',NULL,'',48,X'c6542cac9659ee4f220104b716bcd52a770a7021e9ba6d68804f6c81a762f82a','',NULL);
INSERT INTO journal VALUES(49,1796784994876,'lab','link','E6613852832F4A29-0000000000000001',NULL,NULL,'up','',3,'{"pad":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}','','',NULL,'',49,X'60c56ec33253a5a12e7b4b3001b03a833b460077dc7426dc160bf6f427d0083e','',NULL);
INSERT INTO journal VALUES(50,1796784994876,'lab','state','E6613852832F4A29-0000000000000001',NULL,NULL,'idle','',3,'{"pad":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}','','',NULL,'',50,X'9c811ab43fbed6d04ea6f9eb34b868f33b6927252a80307f9abaad65362761e6','',NULL);
INSERT INTO journal VALUES(51,1796784994876,'lab','heartbeat','E6613852832F4A29-0000000000000001',NULL,NULL,'ok','',0,'{"reason":"first heartbeat acknowledged"}','','',NULL,'',51,X'cf9f4f73d72c245d1e16356e1495393c6db038aaef30fe5be1d404835f95ac43','',NULL);
INSERT INTO journal VALUES(52,1796784994876,'lab','link','E6613852832F4A29-0000000000000001',NULL,NULL,'up','',3,'{"pad":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}','','',NULL,'',52,X'60fb2c71e28870b9ffdeb9423fd5da3b33ea554fcd025d3f1af847bbf1d569f1','',NULL);
INSERT INTO journal VALUES(53,1796784994890,'','journal','',NULL,NULL,'pruned','',0,'{"records":31,"up_to_cursor":44,"up_to_ms":1796784994876,"why":"size","max_bytes":37888,"retention_days":3650,"tombstoned":31}','','',NULL,'',53,X'efb53313f140fe507c11ee6ffc6584f3fd7efb2dba5e5637cd1a4af31dc7fb93','',NULL);
INSERT INTO journal VALUES(54,1796784994890,'lab','clear','E6613852832F4A29-0000000000000001',NULL,NULL,'','c-1',3,'{"requested_by":"ops"}','','',NULL,'ops',54,X'4fbc7461f43cc0cb29813641bcedd4643c04368730ac28ef78ece62c7d9734ca','',NULL);
CREATE TABLE sessions (
    cabinet    TEXT NOT NULL,
    session_id TEXT NOT NULL,
    last_seq   INTEGER NOT NULL DEFAULT 0,
    first_ms   INTEGER NOT NULL,
    last_ms    INTEGER NOT NULL,
    PRIMARY KEY (cabinet, session_id)
);
INSERT INTO sessions VALUES('lab','E6613852832F4A29-0000000000000001',7,1796784994826,1796784994827);
CREATE TABLE chain_links (
    cursor INTEGER PRIMARY KEY,
    kind   TEXT NOT NULL,
    link   INTEGER NOT NULL,
    digest BLOB NOT NULL,
    hash   BLOB NOT NULL
);
INSERT INTO chain_links VALUES(11,'command',11,X'09dc0b3ccf2256b0132bb2e51cb7876d5cb851549f077c244cde1c403a154bca',X'fbacf51e971b19a57d7f801c98281846e30b302b6b981c522dc9512d6408d932');
INSERT INTO chain_links VALUES(12,'ack',12,X'9856f6886e9e73b094ec7c6b413e098780befc5b179beb2c1e3ad8fcec214c84',X'd32660bde9e2e162d9beffac3b18ecc960475f4c9aca818dac150600ace6fe3f');
INSERT INTO chain_links VALUES(13,'refused',13,X'd4bd21997b1ba1958d100545858b6210744fd3730ad413209c0b6b974066744d',X'01aa64745182f279778acb7ffc682a651ececa63167fc2a81938d412a75d0d24');
INSERT INTO chain_links VALUES(17,'state',17,X'3e3749ac735919feebc01db6a3bf281cfd3ec5c8a0f127d04e581d6c41b8c1ef',X'0629a06ec07e0d646c8d63f367d798afd8feb259e76f610208f4ababb0a45c38');
INSERT INTO chain_links VALUES(18,'heartbeat',18,X'682d33450de49effa8e26fe1a766c72ffd4d726978af92d1344c5a7f6358515f',X'dfbdfa3cf696233397d0428d6bec624d2375918a3540a3ed27161dc8cd4863b2');
INSERT INTO chain_links VALUES(19,'link',19,X'7c2f818ff6522850fa58bcc5bcbbc01e388d3de3f50cc4154ac66558f0ff079a',X'5094465b1537980bc16736cb5e4328df70f96a8a6c7c8c73c12c76f90c7b3433');
INSERT INTO chain_links VALUES(20,'state',20,X'8b7bf7f63c42b24eab5469fd322ab74ceb2ffd31a1eb89457a6adb7e627e7661',X'ea9d40f5ec312dc7930d07c43edae1e9c120cbafa72b8006b6ee41807be281e0');
INSERT INTO chain_links VALUES(21,'heartbeat',21,X'df367e212d8fbe84ad3202d6339520ad2a23bef6317ba9af54bcda0632377ef6',X'4439749e7180f4f5ee2f892edf3ca85c48b84a10fd010514a14458aef58e92cc');
INSERT INTO chain_links VALUES(22,'link',22,X'f4075f20605d2fb4c35f2777656567af85c0c12f54f63f3ca4d56827da95d6fe',X'a1cc5e48f05c4d5486ec3360eed9dde493afa35eda9156d507b3e18d0a70ab51');
INSERT INTO chain_links VALUES(23,'state',23,X'be423e21854aabb63bda94e206906d627048bb895dbe9b8cd5608ae20ae4e472',X'a351183b5ae838a885d48a5eb8f3bfa463ec215041594fead5dff13bbea1bb7d');
INSERT INTO chain_links VALUES(24,'heartbeat',24,X'6113841b1f2e76533e426645f60861339e32324391618a8de281ea56315ab8b4',X'6b86d04803f8b32aea79c3581fff28a4c0e17994ae192d66c2364f73132b4eb2');
INSERT INTO chain_links VALUES(25,'link',25,X'8ccfbd40e88a0c1daf000ca6650aa4a19d21b88d8006a520f7995c902218376d',X'21589350affc0a8640dd8c9becd9ec4c9a8e50dff6d43f5c13da95b3adb89ac6');
INSERT INTO chain_links VALUES(26,'state',26,X'99764ee808ec3accef02fe5b25c618f316c535296374f517b7040f7cfd0e97fd',X'7053d337102f4af8c2b9ea690a28530cb02fb5a8c4f34c1dd3d7b9b3727ffdd7');
INSERT INTO chain_links VALUES(27,'heartbeat',27,X'f22df771fe409b6c6642c98e2ddb83bb3e1d1aa22a42a85d3296eda5a9c6915b',X'358fce18eb924ed73a0152e27da6fc5a254389275d1bbaebfdbecc429ab9128e');
INSERT INTO chain_links VALUES(28,'link',28,X'21104a422cc0ee1e5f2b2c87cbbfb6b6ac1b3af404a31ca3dc8b49332d44b976',X'ab68a333c5028c7e0fa0c14450bc2f6230270be18c9f94f28acdbb55576bb5b3');
INSERT INTO chain_links VALUES(29,'state',29,X'18999626e34dc62a269d60f4c026084ccc3dbfbee1bee22d524988dbdc0163ee',X'54c101bd5b67174c68d30dda2b8be415a356a3f0011159e0c348407e3f3b57f0');
INSERT INTO chain_links VALUES(30,'heartbeat',30,X'9e62cb953d359b0ad18c49dbd71a5fa582737eea810cd45e02f1747f540e6034',X'6cb352c18eb2138d15dee1332aa58c9cd2da9200cc647cb50e018220dd6e99b9');
INSERT INTO chain_links VALUES(31,'link',31,X'60e7ef794654221ea5ae24b8b3af58788ebfc65e5f4ce1941235371b53947c17',X'5d64a47aaf835cdbecb33d35670e5ebf004fcb04c02236ae7f935f016b024044');
INSERT INTO chain_links VALUES(32,'state',32,X'c601e2abbc9d1ab7c35bb3c0bcce11489f376141b45fcd38e9e0a3f4f6264460',X'4668a9a5470de57f72d3902f2d8c9566b51050505b98cb105c66146658cb70c7');
INSERT INTO chain_links VALUES(33,'heartbeat',33,X'ea1f6044bd00df38f9bcaffc2be1d64bb68aa63a4a8287c1aecdbd05384750e9',X'77076627dfcf2bebe274c821d2b11d611cdb1f6bf0ea17de77ede19b8045353c');
INSERT INTO chain_links VALUES(34,'link',34,X'ed1234a934958fa5d6b8edff0823f96cbdc99e947bf06a0d408def0eb1105589',X'86137165da2aa98a24b3d1c9787817bfcc30fa6500f1bb8e7789fa26c10c2c0e');
INSERT INTO chain_links VALUES(35,'state',35,X'75aa639a6b025a60ce2511e41ed03854a634bb9913726634897bb569d10b284e',X'defe1c98e94d42e8cfeb6dff5294069557f569c90943224c71cc9987dfd4352b');
INSERT INTO chain_links VALUES(36,'heartbeat',36,X'0038878e5383ee8064a51c4163d3920009aeedbfab507c65369a58bab8ce8815',X'1817bce2c0d0d52d483e56fafb306e9d9d1a0e139d516031f0a038d0b5e225f0');
INSERT INTO chain_links VALUES(37,'link',37,X'93c9d877f480e1ccd64f8c84c1b283a882b2818a0c768816e8b335c834036a30',X'17e5e886cd5ed1e96a44a0fa6c6ec88c44ff127741bc3599612a7b7f66a9d79a');
INSERT INTO chain_links VALUES(38,'state',38,X'f5a7f6f880b99e8a6d5e8f4299ba559f1378977346e41c8c0142a7d299b8eff7',X'72d00ec7113fbffc175f24f2576c6ce24cbb524657c62210eb15b12b8996e4e6');
INSERT INTO chain_links VALUES(39,'heartbeat',39,X'767fbb36e1553c778a2cf97c351d6deabe6f499dad6a758782f768633c907b38',X'3e3caf719778c670f08626bdca2d7bc9362931c5c034d5ae389debc387db040e');
INSERT INTO chain_links VALUES(40,'link',40,X'c5e214a218957c08f0093c7948fe3c9b15e556b1ba12a1195b3c5eb4b9cd0398',X'23fc196db2d34f0916a0c3d09fe4b4a509f29341c6f29aa6d1391abbcf4ba461');
INSERT INTO chain_links VALUES(41,'state',41,X'b5349da12fdb9b4b7dcf2c660152dd5f27f8a5f9f9418718c5bdfa2f4e9850a4',X'151a976237c625dd5cdd1699d182ae59fb4b6fad15291c9fdbf671d3f8691eec');
INSERT INTO chain_links VALUES(42,'heartbeat',42,X'32b6f485a29c5d32a2c057de457f597e48d773b0220390011c61ed628b3598fd',X'a73136e9afda069783111d0bee2c041a26695fcf8a7e0400a86198a3b0b92e84');
INSERT INTO chain_links VALUES(43,'link',43,X'466fb246434ea5fc4a082cdfd8939aa1e488171c380b9ccf2e85a76e1a564c99',X'064a9da3b7b49ef5c2f6db4a411a0e1694a4af8cf43a04f9cbf4e70995549f35');
INSERT INTO chain_links VALUES(44,'state',44,X'5294028855de3ae7c2cdc47c7d5ebaea5ff4c90ed77ca8e057763537f518edf9',X'b0146f7a55720b670f27c21eb3387a33564bf1d512415cd9ac0f105a3b27462e');
CREATE TABLE chain_base (
    one    INTEGER PRIMARY KEY CHECK (one = 1),
    cursor INTEGER NOT NULL,
    count  INTEGER NOT NULL,
    hash   BLOB NOT NULL
);
INSERT INTO chain_base VALUES(1,4,4,X'167b0126fb6c1f0c9019c9fb5000370bb9a56c56ad662f03d3fb6eea9e60abbf');
CREATE TABLE notes (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL);
DELETE FROM sqlite_sequence;
INSERT INTO sqlite_sequence VALUES('journal',54);
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE INDEX journal_requester ON journal(requested_by) WHERE requested_by <> '';
CREATE INDEX journal_alarm ON journal(cabinet, door_id, code, cursor) WHERE kind = 'alarm';
CREATE INDEX journal_outcome ON journal(outcome, coalesce(settles, cursor)) WHERE outcome <> '';
CREATE INDEX journal_refused ON journal(coalesce(settles, cursor))
    WHERE outcome <> '' AND kind IN ('ack', 'refused') AND outcome <> 'accepted';
COMMIT;
PRAGMA application_id=1128352322;
PRAGMA user_version=6;
