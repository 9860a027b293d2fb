      *================================================================
      * KVR-COBOL-BENCH: an indexed file worked the way a batch program
      * works it, timed phase by phase.
      *
      *   kvr_cobol_bench [N]        N records, default 200000,
      *                              at most 2000000
      *
      * The file (env KVRBENCH_FILE, default bench.dat in the current
      * folder) holds 100-byte records with a unique prime key and an
      * alternate key that allows duplicates (N / 200 distinct values
      * at least 1, so about 200 records share each value).
      *
      * Phases:
      *   LOAD      WRITE N records in pseudo-random key order
      *   READ      random READ of every key, in another order
      *   SCAN-KEY  START at the lowest prime key, READ NEXT to the end
      *   SCAN-ALT  START at the lowest alternate key, READ NEXT to end
      *   REWRITE   READ and REWRITE every record with an even key;
      *             every other one of them gets a new alternate key
      *   DELETE    DELETE every record with an odd key
      *   RECOUNT   CLOSE, OPEN INPUT, count by a scan of the prime key
      *
      * Lines starting "COUNT" are the results and must not depend on
      * the file handler; lines starting "TIME" are the phase timings
      * in seconds (FUNCTION CURRENT-DATE, hundredths).  The key order
      * comes from a fixed linear congruential generator, so every run
      * does exactly the same work.  Any unexpected FILE STATUS ends
      * the run with return code 16.
      *================================================================
       IDENTIFICATION DIVISION.
       PROGRAM-ID. KVR-COBOL-BENCH.

       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT BENCH-FILE ASSIGN TO WS-FILE-NAME
               ORGANIZATION IS INDEXED
               ACCESS MODE IS DYNAMIC
               RECORD KEY IS BR-KEY
               ALTERNATE RECORD KEY IS BR-ALT WITH DUPLICATES
               FILE STATUS IS WS-STATUS.

       DATA DIVISION.
       FILE SECTION.
       FD  BENCH-FILE.
       01  BR-REC.
           05  BR-KEY              PIC 9(10).
           05  BR-ALT              PIC 9(8).
           05  BR-CHECK            PIC 9(9)       COMP-5.
           05  BR-UPDATES          PIC 9(4)       COMP-5.
           05  BR-DATA             PIC X(76).

       WORKING-STORAGE SECTION.
       01  WS-FILE-NAME            PIC X(256).
       01  WS-STATUS               PIC XX.
           88  IO-OK               VALUES "00" "02".
           88  IO-EOF              VALUE "10".
       01  WS-IO-WHAT              PIC X(24).

       01  WS-ARGS                 PIC X(256).
       01  WS-ARG1                 PIC X(20).
       01  WS-MAX-RECORDS          PIC 9(9)       COMP-5
                                   VALUE 2000000.
       01  WS-N                    PIC 9(9)       COMP-5.
       01  WS-GROUPS               PIC 9(9)       COMP-5.
       01  WS-HALF-GROUPS          PIC 9(9)       COMP-5.

      * Two orders of the keys 1 .. N: the load order and the order
      * of the random reads.
       01  WS-ORDERS.
           05  WS-LOAD-ORDER       PIC 9(9)       COMP-5
                                   OCCURS 2000000 TIMES.
           05  WS-READ-ORDER       PIC 9(9)       COMP-5
                                   OCCURS 2000000 TIMES.

      * Per key, worked out before the clock starts so that the timed
      * phases do little arithmetic of their own: the loaded alternate
      * key, the check value, and the key modulo 4.
       01  WS-PER-KEY.
           05  WS-ALT-OF           PIC 9(8)       COMP-5
                                   OCCURS 2000000 TIMES.
           05  WS-CHECK-OF         PIC 9(9)       COMP-5
                                   OCCURS 2000000 TIMES.
           05  WS-KIND-OF          PIC 9          COMP-5
                                   OCCURS 2000000 TIMES.
               88  KEY-IS-EVEN     VALUES 0 2.
               88  KEY-MOVES-ALT   VALUE 0.

      * x <- (a x + c) mod m, m the smallest power of two >= N; values
      * >= N are skipped, so one period visits every key once.
       01  WS-LCG-A                PIC 9(9)       COMP-5
                                   VALUE 1664525.
       01  WS-LCG-C                PIC 9(10)      COMP-5.
       01  WS-LCG-M                PIC 9(10)      COMP-5.
       01  WS-LCG-X                PIC 9(18)      COMP-5.
       01  WS-WHICH-ORDER          PIC 9.

       01  WS-I                    PIC 9(9)       COMP-5.
       01  WS-K                    PIC 9(9)       COMP-5.
       01  WS-FILLED               PIC 9(9)       COMP-5.
       01  WS-PREV-KEY             PIC 9(10).
       01  WS-PREV-ALT             PIC 9(8).

       01  WS-COUNTS.
           05  WS-LOADED           PIC 9(9)       COMP-5 VALUE 0.
           05  WS-FOUND            PIC 9(9)       COMP-5 VALUE 0.
           05  WS-SCANNED-KEY      PIC 9(9)       COMP-5 VALUE 0.
           05  WS-SCANNED-ALT      PIC 9(9)       COMP-5 VALUE 0.
           05  WS-REWRITTEN        PIC 9(9)       COMP-5 VALUE 0.
           05  WS-ALT-MOVED        PIC 9(9)       COMP-5 VALUE 0.
           05  WS-DELETED          PIC 9(9)       COMP-5 VALUE 0.
           05  WS-REMAINING        PIC 9(9)       COMP-5 VALUE 0.
           05  WS-BAD              PIC 9(9)       COMP-5 VALUE 0.

       01  WS-COUNT-LINE.
           05  FILLER              PIC X(6)  VALUE "COUNT".
           05  WS-CL-NAME          PIC X(14).
           05  WS-CL-VALUE         PIC Z(9)9.

      * Clock: seconds since midnight, in hundredths.
       01  WS-NOW-TEXT             PIC X(21).
       01  WS-NOW-PARTS REDEFINES WS-NOW-TEXT.
           05  FILLER              PIC X(8).
           05  WS-NOW-HH           PIC 99.
           05  WS-NOW-MI           PIC 99.
           05  WS-NOW-SS           PIC 99.
           05  WS-NOW-CS           PIC 99.
           05  FILLER              PIC X(5).
       01  WS-NOW                  PIC 9(6)V99.
       01  WS-PHASE-START          PIC 9(6)V99.
       01  WS-PHASE-SECONDS        PIC 9(6)V99.
       01  WS-IO-SECONDS           PIC 9(6)V99    VALUE 0.
       01  WS-TIME-LINE.
           05  FILLER              PIC X(5)  VALUE "TIME".
           05  WS-TL-NAME          PIC X(10).
           05  WS-TL-SECONDS       PIC ZZZZZ9.99.

       PROCEDURE DIVISION.
       MAIN-LINE.
           PERFORM GET-ARGUMENTS
           PERFORM MAKE-KEY-ORDERS
           PERFORM LOAD-PHASE
           PERFORM READ-PHASE
           PERFORM SCAN-KEY-PHASE
           PERFORM SCAN-ALT-PHASE
           PERFORM REWRITE-PHASE
           PERFORM DELETE-PHASE
           PERFORM RECOUNT-PHASE
           MOVE "IO-TOTAL" TO WS-TL-NAME
           MOVE WS-IO-SECONDS TO WS-TL-SECONDS
           DISPLAY WS-TIME-LINE
           IF WS-BAD NOT = 0
               MOVE 8 TO RETURN-CODE
           ELSE
               MOVE 0 TO RETURN-CODE
           END-IF
           STOP RUN.

       GET-ARGUMENTS.
           ACCEPT WS-ARGS FROM COMMAND-LINE
           MOVE SPACES TO WS-ARG1
           UNSTRING WS-ARGS DELIMITED BY ALL SPACE INTO WS-ARG1
           IF WS-ARG1 = SPACES
               MOVE 200000 TO WS-N
           ELSE
               IF FUNCTION TEST-NUMVAL(WS-ARG1) NOT = 0
                   DISPLAY "KVR-COBOL-BENCH: N must be a number, not "
                       FUNCTION TRIM(WS-ARG1) UPON SYSERR
                   MOVE 2 TO RETURN-CODE
                   STOP RUN
               END-IF
               COMPUTE WS-N = FUNCTION NUMVAL(WS-ARG1)
           END-IF
           IF WS-N < 1 OR WS-N > WS-MAX-RECORDS
               DISPLAY "KVR-COBOL-BENCH: N must be 1 to 2000000"
                   UPON SYSERR
               MOVE 2 TO RETURN-CODE
               STOP RUN
           END-IF
           DIVIDE WS-N BY 200 GIVING WS-GROUPS
           IF WS-GROUPS = 0
               MOVE 1 TO WS-GROUPS
           END-IF
           ACCEPT WS-FILE-NAME FROM ENVIRONMENT "KVRBENCH_FILE"
           IF WS-FILE-NAME = SPACES
               MOVE "bench.dat" TO WS-FILE-NAME
           END-IF
           MOVE "RECORDS" TO WS-CL-NAME
           MOVE WS-N TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

       MAKE-KEY-ORDERS.
           PERFORM START-CLOCK
           MOVE 4 TO WS-LCG-M
           PERFORM UNTIL WS-LCG-M >= WS-N
               MULTIPLY 2 BY WS-LCG-M
           END-PERFORM
           MOVE 1 TO WS-WHICH-ORDER
           MOVE 1013904223 TO WS-LCG-C
           MOVE 12345 TO WS-LCG-X
           PERFORM FILL-ORDER
           MOVE 2 TO WS-WHICH-ORDER
           MOVE 907633385 TO WS-LCG-C
           MOVE 424242 TO WS-LCG-X
           PERFORM FILL-ORDER
           PERFORM VARYING WS-K FROM 1 BY 1 UNTIL WS-K > WS-N
               COMPUTE WS-ALT-OF(WS-K) =
                   FUNCTION MOD(WS-K * 7919, WS-GROUPS)
               COMPUTE WS-CHECK-OF(WS-K) =
                   FUNCTION MOD(WS-K * 40503 + 17, 999999937)
               COMPUTE WS-KIND-OF(WS-K) = FUNCTION MOD(WS-K, 4)
           END-PERFORM
           MOVE "KEYS" TO WS-TL-NAME
           PERFORM STOP-CLOCK-NO-IO.

       FILL-ORDER.
           MOVE 0 TO WS-FILLED
           PERFORM UNTIL WS-FILLED >= WS-N
               COMPUTE WS-LCG-X = FUNCTION MOD
                   (WS-LCG-A * WS-LCG-X + WS-LCG-C, WS-LCG-M)
               IF WS-LCG-X < WS-N
                   ADD 1 TO WS-FILLED
                   IF WS-WHICH-ORDER = 1
                       COMPUTE WS-LOAD-ORDER(WS-FILLED) = WS-LCG-X + 1
                   ELSE
                       COMPUTE WS-READ-ORDER(WS-FILLED) = WS-LCG-X + 1
                   END-IF
               END-IF
           END-PERFORM.

      * The record for key WS-K, as loaded.
       BUILD-RECORD.
           MOVE WS-K TO BR-KEY
           MOVE WS-ALT-OF(WS-K) TO BR-ALT
           MOVE WS-CHECK-OF(WS-K) TO BR-CHECK
           MOVE 0 TO BR-UPDATES
           MOVE BR-KEY TO BR-DATA
           MOVE " customer record payload for the indexed benchmark"
               TO BR-DATA(11:).

      *----------------------------------------------------------------
       LOAD-PHASE.
           PERFORM START-CLOCK
           OPEN OUTPUT BENCH-FILE
           MOVE "OPEN OUTPUT" TO WS-IO-WHAT
           PERFORM CHECK-OK
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > WS-N
               MOVE WS-LOAD-ORDER(WS-I) TO WS-K
               PERFORM BUILD-RECORD
               WRITE BR-REC
               MOVE "WRITE" TO WS-IO-WHAT
               PERFORM CHECK-OK
               ADD 1 TO WS-LOADED
           END-PERFORM
           CLOSE BENCH-FILE
           MOVE "CLOSE" TO WS-IO-WHAT
           PERFORM CHECK-OK
           MOVE "LOAD" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "LOADED" TO WS-CL-NAME
           MOVE WS-LOADED TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

       READ-PHASE.
           PERFORM START-CLOCK
           OPEN I-O BENCH-FILE
           MOVE "OPEN I-O" TO WS-IO-WHAT
           PERFORM CHECK-OK
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > WS-N
               MOVE WS-READ-ORDER(WS-I) TO WS-K
               MOVE WS-K TO BR-KEY
               READ BENCH-FILE KEY IS BR-KEY
               MOVE "READ KEY" TO WS-IO-WHAT
               PERFORM CHECK-OK
               IF BR-KEY = WS-K AND BR-CHECK = WS-CHECK-OF(WS-K)
                   ADD 1 TO WS-FOUND
               ELSE
                   ADD 1 TO WS-BAD
               END-IF
           END-PERFORM
           MOVE "READ" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "READ-FOUND" TO WS-CL-NAME
           MOVE WS-FOUND TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

       SCAN-KEY-PHASE.
           PERFORM START-CLOCK
           MOVE 0 TO BR-KEY
           START BENCH-FILE KEY IS >= BR-KEY
           MOVE "START KEY" TO WS-IO-WHAT
           PERFORM CHECK-OK
           MOVE 0 TO WS-PREV-KEY
           PERFORM READ-NEXT
           PERFORM UNTIL IO-EOF
               IF WS-SCANNED-KEY > 0 AND BR-KEY NOT > WS-PREV-KEY
                   ADD 1 TO WS-BAD
               END-IF
               MOVE BR-KEY TO WS-PREV-KEY
               ADD 1 TO WS-SCANNED-KEY
               PERFORM READ-NEXT
           END-PERFORM
           MOVE "SCAN-KEY" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "SCAN-KEY" TO WS-CL-NAME
           MOVE WS-SCANNED-KEY TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

       SCAN-ALT-PHASE.
           PERFORM START-CLOCK
           MOVE 0 TO BR-ALT
           START BENCH-FILE KEY IS >= BR-ALT
           MOVE "START ALT" TO WS-IO-WHAT
           PERFORM CHECK-OK
           MOVE 0 TO WS-PREV-ALT
           PERFORM READ-NEXT
           PERFORM UNTIL IO-EOF
               IF BR-ALT < WS-PREV-ALT
                   ADD 1 TO WS-BAD
               END-IF
               MOVE BR-ALT TO WS-PREV-ALT
               ADD 1 TO WS-SCANNED-ALT
               PERFORM READ-NEXT
           END-PERFORM
           MOVE "SCAN-ALT" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "SCAN-ALT" TO WS-CL-NAME
           MOVE WS-SCANNED-ALT TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

      * Even keys, in the random read order: READ, change, REWRITE.
      * Keys divisible by 4 move to an alternate key value above the
      * loaded ones.
       REWRITE-PHASE.
           PERFORM START-CLOCK
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > WS-N
               MOVE WS-READ-ORDER(WS-I) TO WS-K
               IF KEY-IS-EVEN(WS-K)
                   MOVE WS-K TO BR-KEY
                   READ BENCH-FILE KEY IS BR-KEY
                   MOVE "READ KEY" TO WS-IO-WHAT
                   PERFORM CHECK-OK
                   ADD 1 TO BR-UPDATES
                   MOVE "rewritten" TO BR-DATA(11:9)
                   IF KEY-MOVES-ALT(WS-K)
                       ADD WS-GROUPS TO BR-ALT
                       ADD 1 TO WS-ALT-MOVED
                   END-IF
                   REWRITE BR-REC
                   MOVE "REWRITE" TO WS-IO-WHAT
                   PERFORM CHECK-OK
                   ADD 1 TO WS-REWRITTEN
               END-IF
           END-PERFORM
           MOVE "REWRITE" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "REWRITTEN" TO WS-CL-NAME
           MOVE WS-REWRITTEN TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE
           MOVE "ALT-MOVED" TO WS-CL-NAME
           MOVE WS-ALT-MOVED TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

      * Odd keys, in the load order, deleted by key without a READ.
       DELETE-PHASE.
           PERFORM START-CLOCK
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > WS-N
               MOVE WS-LOAD-ORDER(WS-I) TO WS-K
               IF NOT KEY-IS-EVEN(WS-K)
                   MOVE WS-K TO BR-KEY
                   DELETE BENCH-FILE RECORD
                   MOVE "DELETE" TO WS-IO-WHAT
                   PERFORM CHECK-OK
                   ADD 1 TO WS-DELETED
               END-IF
           END-PERFORM
           CLOSE BENCH-FILE
           MOVE "CLOSE" TO WS-IO-WHAT
           PERFORM CHECK-OK
           MOVE "DELETE" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "DELETED" TO WS-CL-NAME
           MOVE WS-DELETED TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

      * What is left must be exactly the even keys, each rewritten once.
       RECOUNT-PHASE.
           PERFORM START-CLOCK
           OPEN INPUT BENCH-FILE
           MOVE "OPEN INPUT" TO WS-IO-WHAT
           PERFORM CHECK-OK
           PERFORM READ-NEXT
           PERFORM UNTIL IO-EOF
               MOVE BR-KEY TO WS-K
               IF WS-K < 1 OR WS-K > WS-N
                   ADD 1 TO WS-BAD
               ELSE
                   IF NOT KEY-IS-EVEN(WS-K) OR BR-UPDATES NOT = 1
                       ADD 1 TO WS-BAD
                   END-IF
               END-IF
               ADD 1 TO WS-REMAINING
               PERFORM READ-NEXT
           END-PERFORM
           CLOSE BENCH-FILE
           MOVE "CLOSE" TO WS-IO-WHAT
           PERFORM CHECK-OK
           MOVE "RECOUNT" TO WS-TL-NAME
           PERFORM STOP-CLOCK
           MOVE "REMAINING" TO WS-CL-NAME
           MOVE WS-REMAINING TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE
           MOVE "BAD-RECORDS" TO WS-CL-NAME
           MOVE WS-BAD TO WS-CL-VALUE
           DISPLAY WS-COUNT-LINE.

       READ-NEXT.
           READ BENCH-FILE NEXT RECORD
           IF NOT IO-EOF
               MOVE "READ NEXT" TO WS-IO-WHAT
               PERFORM CHECK-OK
           END-IF.

       CHECK-OK.
           IF NOT IO-OK
               DISPLAY "KVR-COBOL-BENCH: " FUNCTION TRIM(WS-IO-WHAT)
                   " FAILED WITH FILE STATUS " WS-STATUS
                   " (KEY " BR-KEY ")" UPON SYSERR
               MOVE 16 TO RETURN-CODE
               STOP RUN
           END-IF.

      *----------------------------------------------------------------
       READ-CLOCK.
           MOVE FUNCTION CURRENT-DATE TO WS-NOW-TEXT
           COMPUTE WS-NOW = WS-NOW-HH * 3600 + WS-NOW-MI * 60
               + WS-NOW-SS + WS-NOW-CS / 100.

       START-CLOCK.
           PERFORM READ-CLOCK
           MOVE WS-NOW TO WS-PHASE-START.

      * Prints the phase time under WS-TL-NAME; a phase that runs past
      * midnight wraps once.
       STOP-CLOCK-NO-IO.
           PERFORM READ-CLOCK
           IF WS-NOW < WS-PHASE-START
               ADD 86400 TO WS-NOW
           END-IF
           COMPUTE WS-PHASE-SECONDS = WS-NOW - WS-PHASE-START
           MOVE WS-PHASE-SECONDS TO WS-TL-SECONDS
           DISPLAY WS-TIME-LINE.

       STOP-CLOCK.
           PERFORM STOP-CLOCK-NO-IO
           ADD WS-PHASE-SECONDS TO WS-IO-SECONDS.
