       IDENTIFICATION DIVISION.
       PROGRAM-ID. WORK-FILES.
      * What a batch job does with its files, each FILE STATUS
      * printed. Run as "verbs": verbs out of place on a
      * record-sequential file; CLOSE REEL, UNIT and NO REWIND; an OPEN
      * of a work file that another file of this program holds; a
      * relative file under sequential access (WRITE numbers the
      * records, REWRITE and DELETE take the record just read);
      * OPTIONAL files opened INPUT when absent, one of them indexed
      * (unclosed_files makes absent OPTIONAL files with I-O and
      * EXTEND); and a LINE SEQUENTIAL file, which KVRFH hands to
      * GnuCOBOL's own handler. What the verbs do to a file statement
      * by statement, the verb tables hold.
      * Run as "die": adds a record to an indexed file and is killed
      * before it closes it. Run as "after": opens that file again,
      * then reloads it.
      * Run as "main": two programs updating one indexed file at once.
      * LOCK MODE MANUAL asks KVRFH to share the file, and a READ WITH
      * LOCK locks its record until the program's next READ, REWRITE,
      * DELETE or CLOSE. "main" makes the file, locks a record and runs
      * a second copy of itself ("other") while it holds it. The other
      * cannot make the file anew, reads what the first wrote, gets 51
      * for the locked record, changes another and adds one; the first
      * then sees both, and every record it wrote.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT SQ ASSIGN TO "wf_sequential.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT IX ASSIGN TO "wf_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY IX-KEY
               FILE STATUS FS.
      * One work file, two layouts; the second's alternate key lies
      * before its prime key.
           SELECT WK-BY-NAME ASSIGN TO "wf_sequential.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY BN-NAME
               ALTERNATE RECORD KEY BN-CODE FILE STATUS FS.
           SELECT RL-SEQ ASSIGN TO "rl_seq.dat"
               ORGANIZATION RELATIVE ACCESS SEQUENTIAL FILE STATUS FS.
           SELECT OPTIONAL OPT ASSIGN TO "sq_optional.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT OPTIONAL IX-OPT ASSIGN TO "ix_optional.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY OP-KEY FILE STATUS FS.
           SELECT TX ASSIGN TO "sq_text.txt"
               ORGANIZATION LINE SEQUENTIAL FILE STATUS FS.
      * One indexed file, shared and not.
           SELECT CU ASSIGN TO "shared.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY CU-ID
               ALTERNATE RECORD KEY CU-CITY WITH DUPLICATES
               LOCK MODE IS MANUAL FILE STATUS FS.
           SELECT PLAIN ASSIGN TO "shared.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY PL-ID
               ALTERNATE RECORD KEY PL-CITY WITH DUPLICATES
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD SQ.
       01 SQ-REC            PIC X(8).
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-TEXT        PIC X(8).
       FD WK-BY-NAME.
       01 BN-REC.
          05 BN-CODE        PIC X(4).
          05 BN-NAME        PIC X(8).
       FD RL-SEQ.
       01 RL-REC            PIC X(12).
       FD OPT.
       01 OPT-REC           PIC X(10).
       FD IX-OPT.
       01 OP-KEY            PIC X(6).
       FD TX.
       01 TX-REC            PIC X(20).
       FD CU.
       01 CU-REC.
          05 CU-ID          PIC X(4).
          05 CU-CITY        PIC X(8).
          05 CU-NOTE        PIC X(16).
       FD PLAIN.
       01 PL-REC.
          05 PL-ID          PIC X(4).
          05 PL-CITY        PIC X(8).
          05 PL-NOTE        PIC X(16).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 ACTION            PIC X(8).
       01 N                 PIC 99.
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT ACTION FROM COMMAND-LINE
           EVALUATE ACTION
               WHEN "verbs" PERFORM OUT-OF-PLACE PERFORM REELS
                            PERFORM REFUSED PERFORM SEQUENTIAL-ACCESS
               WHEN "die"   PERFORM DIE
               WHEN "after" PERFORM AFTER-DEATH
               WHEN "main"  PERFORM FIRST-PROGRAM
               WHEN "other" PERFORM SECOND-PROGRAM
               WHEN OTHER   DISPLAY "usage: verbs|die|after|main"
           END-EVALUATE
           STOP RUN.

       OUT-OF-PLACE.
           OPEN OUTPUT SQ
           MOVE "FIRST" TO SQ-REC WRITE SQ-REC
           READ SQ DISPLAY "READ on a file open OUTPUT " FS
           CLOSE SQ OPEN I-O SQ READ SQ
           WRITE SQ-REC DISPLAY "WRITE on a file open I-O " FS
           CLOSE SQ OPEN INPUT SQ READ SQ
           REWRITE SQ-REC DISPLAY "REWRITE on a file open INPUT " FS
           CLOSE SQ.

      * A disk file has no reels or units: REEL and UNIT give 07 and
      * the file goes on where it was; NO REWIND closes it with 07.
      * The indexed file is the one "die" adds to.
       REELS.
           OPEN OUTPUT SQ
           MOVE "ONE" TO SQ-REC WRITE SQ-REC
           CLOSE SQ REEL DISPLAY "CLOSE REEL sequential output " FS
           WRITE SQ-REC FROM "TWO" DISPLAY "WRITE after CLOSE REEL " FS
           CLOSE SQ UNIT DISPLAY "CLOSE UNIT " FS
           MOVE "THREE" TO SQ-REC WRITE SQ-REC
           DISPLAY "WRITE after CLOSE UNIT " FS
           CLOSE SQ NO REWIND DISPLAY "CLOSE NO REWIND " FS
           WRITE SQ-REC DISPLAY "WRITE after CLOSE NO REWIND " FS
           OPEN INPUT SQ
           READ SQ DISPLAY "READ " FS " " SQ-REC
           CLOSE SQ REEL DISPLAY "CLOSE REEL sequential input " FS
           READ SQ DISPLAY "READ after CLOSE REEL " FS " " SQ-REC
           CLOSE SQ UNIT FOR REMOVAL
           DISPLAY "CLOSE UNIT FOR REMOVAL " FS
           READ SQ DISPLAY "READ after it " FS " " SQ-REC
           CLOSE SQ

           OPEN OUTPUT IX
           MOVE "K001FIRST" TO IX-REC WRITE IX-REC
           CLOSE IX UNIT DISPLAY "CLOSE UNIT indexed " FS
           MOVE "K002SECOND" TO IX-REC WRITE IX-REC
           DISPLAY "WRITE after CLOSE UNIT " FS
           CLOSE IX OPEN INPUT IX
           PERFORM UNTIL FS NOT = "00"
               READ IX NEXT IF FS = "00" DISPLAY "  " IX-REC END-IF
           END-PERFORM
           CLOSE IX.

      * An OPEN that fails says why on stderr: the work file is held.
       REFUSED.
           OPEN OUTPUT SQ
           MOVE "SHORT" TO SQ-REC WRITE SQ-REC
           CLOSE SQ OPEN I-O SQ
           OPEN OUTPUT WK-BY-NAME
           DISPLAY "OPEN OUTPUT of the held file " FS
           CLOSE SQ OPEN OUTPUT WK-BY-NAME
           DISPLAY "OPEN OUTPUT once it is free " FS
           MOVE "C001ALPHA" TO BN-REC WRITE BN-REC
           DISPLAY "WRITE, the alternate key first " FS
           CLOSE WK-BY-NAME.

       DIE.
           OPEN I-O IX DISPLAY "OPEN I-O indexed " FS
           WRITE IX-REC FROM "K003THIRD" DISPLAY "WRITE " FS
           CALL "SYSTEM" USING "kill -9 $PPID".

       AFTER-DEATH.
           OPEN INPUT IX DISPLAY "OPEN INPUT after the kill " FS
           OPEN OUTPUT IX DISPLAY "OPEN OUTPUT after the kill " FS
           MOVE "K009RELOADED" TO IX-REC WRITE IX-REC
           CLOSE IX OPEN INPUT IX
           READ IX NEXT DISPLAY "READ NEXT " FS DISPLAY "  " IX-REC
           CLOSE IX.

       SEQUENTIAL-ACCESS.
           OPEN OUTPUT RL-SEQ
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 3
               MOVE "RECORD" TO RL-REC MOVE N TO RL-REC(8:2)
               WRITE RL-REC DISPLAY "WRITE relative " FS
           END-PERFORM
           CLOSE RL-SEQ REEL DISPLAY "CLOSE REEL relative " FS
           CLOSE RL-SEQ OPEN I-O RL-SEQ
           REWRITE RL-REC DISPLAY "REWRITE before a READ " FS
           READ RL-SEQ DISPLAY "READ " FS " " RL-REC
           READ RL-SEQ DISPLAY "READ " FS " " RL-REC
           DELETE RL-SEQ DISPLAY "DELETE the record read " FS
           READ RL-SEQ DISPLAY "READ " FS " " RL-REC
           MOVE "RECORD 03 NEW" TO RL-REC
           REWRITE RL-REC DISPLAY "REWRITE the record read " FS
           READ RL-SEQ DISPLAY "READ " FS
           CLOSE RL-SEQ OPEN INPUT RL-SEQ
           PERFORM UNTIL FS NOT = "00"
               READ RL-SEQ IF FS = "00" DISPLAY "  " RL-REC END-IF
           END-PERFORM DISPLAY "READ relative to the end " FS
           CLOSE RL-SEQ

           OPEN INPUT OPT DISPLAY "OPEN INPUT optional, absent " FS
           READ OPT DISPLAY "READ optional, absent " FS
           CLOSE OPT
           OPEN INPUT IX-OPT DISPLAY "OPEN INPUT indexed optional " FS
           READ IX-OPT NEXT DISPLAY "READ NEXT indexed optional " FS
           CLOSE IX-OPT DISPLAY "CLOSE indexed optional " FS

           OPEN OUTPUT TX
           MOVE "A LINE OF TEXT" TO TX-REC
           WRITE TX-REC DISPLAY "WRITE line " FS
           CLOSE TX OPEN INPUT TX
           READ TX DISPLAY "READ line " FS DISPLAY "  " TX-REC
           CLOSE TX.

       FIRST-PROGRAM.
           OPEN OUTPUT CU DISPLAY "main  OPEN OUTPUT " FS
           CLOSE CU OPEN I-O CU DISPLAY "main  OPEN I-O " FS
           MOVE "0001BERN    first" TO CU-REC WRITE CU-REC
           MOVE "0002ROME    second" TO CU-REC WRITE CU-REC
           MOVE "0003BERN    third" TO CU-REC WRITE CU-REC
           DISPLAY "main  WRITE 0001 0002 0003 " FS
           MOVE "0002" TO CU-ID READ CU WITH LOCK
           DISPLAY "main  READ 0002 WITH LOCK " FS " " CU-REC
           CALL "SYSTEM" USING "/proc/$PPID/exe other"
           MOVE "0003" TO CU-ID READ CU
           DISPLAY "main  READ 0003 as the other left it " FS " " CU-REC
           MOVE "0004" TO CU-ID READ CU
           DISPLAY "main  READ 0004, the other's " FS " " CU-REC
           MOVE "0002" TO CU-ID READ CU
           MOVE "last" TO CU-NOTE REWRITE CU-REC
           DISPLAY "main  REWRITE 0002 " FS
           CLOSE CU DISPLAY "main  CLOSE " FS
           OPEN INPUT PLAIN
           DISPLAY "main  OPEN INPUT without sharing, after " FS
           MOVE LOW-VALUES TO PL-ID START PLAIN KEY > PL-ID
           PERFORM UNTIL FS NOT = "00"
               READ PLAIN NEXT
               IF FS = "00" DISPLAY "main  READ NEXT 00 " PL-REC END-IF
           END-PERFORM
           CLOSE PLAIN.

       SECOND-PROGRAM.
           OPEN INPUT PLAIN
           DISPLAY "other OPEN INPUT without sharing " FS
           OPEN OUTPUT PLAIN DISPLAY "other OPEN OUTPUT " FS
           OPEN I-O CU
           DISPLAY "other OPEN I-O while the first has it " FS
           MOVE "0001" TO CU-ID READ CU
           DISPLAY "other READ 0001 " FS " " CU-REC
           MOVE "0002" TO CU-ID READ CU WITH LOCK
           DISPLAY "other READ 0002 WITH LOCK, the first's " FS
           MOVE "0002" TO CU-ID READ CU
           DISPLAY "other READ 0002 " FS " " CU-REC
           MOVE "changed" TO CU-NOTE REWRITE CU-REC
           DISPLAY "other REWRITE 0002 " FS
           MOVE "0003" TO CU-ID READ CU
           MOVE "changed by other" TO CU-NOTE REWRITE CU-REC
           DISPLAY "other REWRITE 0003 " FS
           MOVE "0004ROME    added by other" TO CU-REC WRITE CU-REC
           DISPLAY "other WRITE 0004 " FS
           CLOSE CU.
